// kestrel-listen: prints the notifications that a Kestrel consumer receives.
//
//   kestrel-listen --channel corbaloc:iiop:H:P/K [--threads N]
//                  [--format text|json] [--count N] [--filter EXPR]
//   kestrel-listen --host H --port P --key K ...
//   kestrel-listen --help | --version
//
// One line per notification on standard output, flushed at once. It runs
// until N notifications were printed (--count), or until SIGINT or SIGTERM
// (Ctrl+C or Ctrl+Break on Windows), and keeps running while the channel
// service restarts: the library connects again by itself. --filter prints
// only the notifications that a constraint selects; the consumer's
// INotificationFilter applies it. Exit status: 0 when it ended as asked, 1
// when the consumer could not be created, given the filter or connected (the
// code on stderr) or the output failed, 2 for a usage error, a malformed
// --filter among them.

#include <cstdio>
#include <memory>
#include <string>

#include "filter/constraint.h"
#include "kestrel/kestrel.h"
#include "tools/common/channel_address.h"
#include "tools/common/channel_settings.h"
#include "tools/common/component_loader.h"
#include "tools/common/utf8_arguments.h"
#include "tools/common/stop_signals.h"
#include "tools/listen/event_printer.h"

namespace {

using kestrel::tools::ChannelAddress;
using kestrel::tools::ChannelOptions;
using kestrel::tools::DescribeResult;
using kestrel::tools::EventPrinter;
using kestrel::tools::ParseNumber;
using kestrel::tools::StopSignals;

// More delivery threads than this buy nothing for a program that
// serialises its printing anyway.
constexpr uint32_t kMaxThreads = 64;

struct Options {
  ChannelAddress channel;
  uint32_t threads = 1;
  EventPrinter::Format format = EventPrinter::Format::kText;
  uint32_t count = 0;  // 0: until a signal
  std::string filter;  // empty: every notification
};

// %s: how the system asks a console program to end; then the channel
// options' lines.
const char kUsage[] =
    "usage: kestrel-listen --channel corbaloc:iiop:H:P/K [--threads N]\n"
    "                      [--format text|json] [--count N] [--filter EXPR]\n"
    "       kestrel-listen --host H --port P --key K ...\n"
    "       kestrel-listen --help | --version\n"
    "  Prints every notification published on the channel at\n"
    "  corbaloc:iiop:H:P/K, one line each, until N were printed (--count)\n"
    "  or until %s. It keeps listening while the channel service\n"
    "  restarts.\n"
    "%s"
    "  --threads N  notifications handled at once, 1 to 64 (default 1)\n"
    "  --format     text (default): local time, host, module, severity, code,\n"
    "                 description, for example\n"
    "                 2026-12-07 09:10:11.123 web1 disk severity=3 code=0x00001001 disk almost full\n"
    "               json: {\"module\":...,\"host\":...,\"severity\":...,\n"
    "                 \"messageCode\":...,\"description\":...}\n"
    "  --filter EXPR  prints only the notifications that EXPR selects, a\n"
    "                 constraint of CosNotification filters (EXTENDED_TCL) on\n"
    "                 the record $.remainder_of_body: mModule, mHost, mSeverity,\n"
    "                 mMessageCode, mDescription. For example\n"
    "                 '$.remainder_of_body.mSeverity >= 4'\n"
    "                 \"$.remainder_of_body.mModule == 'disk'\"\n"
    "                 \"'full' ~ $.remainder_of_body.mDescription\" (a substring)\n"
    "  Numbers are decimal or 0x-hexadecimal.\n"
    "  Exit status: 0 ended as asked, 1 cannot set the filter, connect or write,\n"
    "  2 usage error.\n";

int UsageError(const std::string& problem) {
  std::fprintf(stderr, "kestrel-listen: %s\n", problem.c_str());
  std::fprintf(stderr, kUsage, StopSignals::kEndRequests, kestrel::tools::kChannelOptionsHelp);
  return 2;
}

// Why expression cannot be a filter, and where, with a caret under the
// character at fault; empty when it compiles. Control characters show as
// spaces, so that the caret stays under its character.
std::string FilterProblem(const std::string& expression) {
  std::unique_ptr<kestrel::filter::Constraint> constraint;
  kestrel::filter::ParseResult result = kestrel::filter::Constraint::Compile(expression, &constraint);
  if (result.ok) return "";
  std::string shown = expression;
  for (char& c : shown) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  }
  return "--filter: " + result.error + ", at character " + std::to_string(result.position + 1) +
         "\n  " + shown + "\n  " + std::string(result.position, ' ') + "^";
}

// Answers -1 when the options are good, otherwise the exit status.
int ParseOptions(int argc, char** argv, Options* options) {
  ChannelOptions channel;
  std::string error;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "--help") {
      std::printf(kUsage, StopSignals::kEndRequests, kestrel::tools::kChannelOptionsHelp);
      return 0;
    }
    if (argument == "--version") {
      std::fputs("kestrel-listen " KESTREL_VERSION "\n", stdout);
      return 0;
    }
    if (argument.rfind("--", 0) != 0) return UsageError("unexpected argument " + argument);
    if (i + 1 >= argc) return UsageError("missing value for " + argument);
    const char* value = argv[++i];
    ChannelOptions::Taken taken = channel.Take(argument, value, &error);
    if (taken == ChannelOptions::Taken::kBadValue) return UsageError(error);
    if (taken == ChannelOptions::Taken::kTaken) continue;
    if (argument == "--threads") {
      if (!ParseNumber(value, &options->threads) || options->threads == 0 ||
          options->threads > kMaxThreads) {
        return UsageError("--threads takes a number from 1 to 64");
      }
    } else if (argument == "--count") {
      if (!ParseNumber(value, &options->count) || options->count == 0) {
        return UsageError("--count takes a number from 1 to 4294967295");
      }
    } else if (argument == "--filter") {
      options->filter = value;
      std::string problem = FilterProblem(options->filter);
      if (!problem.empty()) return UsageError(problem);
    } else if (argument == "--format") {
      std::string format = value;
      if (format == "text") {
        options->format = EventPrinter::Format::kText;
      } else if (format == "json") {
        options->format = EventPrinter::Format::kJson;
      } else {
        return UsageError("--format takes text or json");
      }
    } else {
      return UsageError("unknown option " + argument);
    }
  }
  if (!channel.Finish(&options->channel, &error)) return UsageError(error);
  return -1;
}

bool Report(const char* what, HRESULT hr) {
  if (hr == S_OK) return true;
  std::fprintf(stderr, "kestrel-listen: %s failed: %s\n", what, DescribeResult(hr).c_str());
  return false;
}

HRESULT SetFilter(INotificationConsumer* consumer, const std::string& expression) {
  INotificationFilter* filter = nullptr;
  HRESULT hr = consumer->QueryInterface(IID_INotificationFilter, reinterpret_cast<void**>(&filter));
  if (FAILED(hr)) return hr;
  hr = filter->SetConstraint(expression.c_str());
  filter->Release();
  return hr;
}

int Listen(const Options& options, StopSignals* stop) {
  INotificationConsumer* consumer = nullptr;
  HRESULT hr = kestrel::tools::CreateComponent(CLSID_NotificationConsumer, IID_INotificationConsumer,
                                               reinterpret_cast<void**>(&consumer));
  if (!Report("creating the consumer", hr)) return 1;
  if (!options.filter.empty() && !Report("setting the filter", SetFilter(consumer, options.filter))) {
    consumer->Release();
    return 1;
  }

  auto* printer = new EventPrinter(options.format, options.count, stdout, stop);
  auto* settings = new kestrel::tools::ChannelSettings(options.channel, printer);
  int status = 1;
  if (Report("Connect", consumer->Connect(settings, options.threads))) {
    std::fprintf(stderr, "kestrel-listen: listening on corbaloc:%s:%s:%u/%s\n",
                 options.channel.tls ? "ssliop" : "iiop", options.channel.host.c_str(),
                 options.channel.port, options.channel.key.c_str());
    status = stop->Wait().exitStatus;
  }
  // Disconnect returns once no delivery uses the printer any more, so that
  // stdout and stop are left alone from here on.
  consumer->Disconnect();
  consumer->Release();
  printer->Release();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  StopSignals::BlockInProcess();
  Options options;
  int status = ParseOptions(argc, kestrel::tools::Utf8Arguments(argc, argv), &options);
  if (status >= 0) return status;

  StopSignals stop;
  return Listen(options, &stop);
}
