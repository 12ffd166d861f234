// kestrel-publish: publishes notifications through a Kestrel supplier.
//
//   kestrel-publish --channel corbaloc:iiop:H:P/K --module M
//                   [--severity N] [--code N] [DESCRIPTION...]
//   kestrel-publish --host H --port P --key K --module M ...
//   kestrel-publish --help | --version
//
// With a description on the command line it publishes one notification;
// without, one per line of standard input (empty lines are skipped), so it
// can stand at the end of a pipe like logger. Exit status: 0 when every
// publication succeeded, 1 when one failed (its code on stderr), 2 for a
// usage error.

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "kestrel/kestrel.h"
#include "tools/common/channel_address.h"
#include "tools/common/channel_settings.h"
#include "tools/common/component_loader.h"
#include "tools/common/utf8_arguments.h"

namespace {

using kestrel::tools::ChannelAddress;
using kestrel::tools::ChannelOptions;
using kestrel::tools::DescribeResult;
using kestrel::tools::ParseNumber;

struct Options {
  ChannelAddress channel;
  std::string module;
  uint32_t severity = 0;
  uint32_t code = 0;
  bool hasDescription = false;
  std::string description;
};

// %s: the channel options' lines.
const char kUsage[] =
    "usage: kestrel-publish --channel corbaloc:iiop:H:P/K --module M\n"
    "                       [--severity N] [--code N] [DESCRIPTION...]\n"
    "       kestrel-publish --host H --port P --key K --module M ...\n"
    "       kestrel-publish --help | --version\n"
    "  Publishes DESCRIPTION as one notification on the channel at\n"
    "  corbaloc:iiop:H:P/K, or, without DESCRIPTION, each line of standard input.\n"
    "%s"
    "  Numbers are decimal or 0x-hexadecimal, 0 to 4294967295 (default 0).\n"
    "  Exit status: 0 all published, 1 a publication failed, 2 usage error.\n";

int UsageError(const std::string& problem) {
  std::fprintf(stderr, "kestrel-publish: %s\n", problem.c_str());
  std::fprintf(stderr, kUsage, kestrel::tools::kChannelOptionsHelp);
  return 2;
}

// Answers -1 when the options are good, otherwise the exit status.
int ParseOptions(int argc, char** argv, Options* options) {
  ChannelOptions channel;
  std::string error;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "--help") {
      std::printf(kUsage, kestrel::tools::kChannelOptionsHelp);
      return 0;
    }
    if (argument == "--version") {
      std::fputs("kestrel-publish " KESTREL_VERSION "\n", stdout);
      return 0;
    }
    if (argument == "--") {
      for (++i; i < argc; ++i) {
        if (options->hasDescription) options->description += ' ';
        options->description += argv[i];
        options->hasDescription = true;
      }
      break;
    }
    if (argument.rfind("--", 0) != 0) {
      if (options->hasDescription) options->description += ' ';
      options->description += argument;
      options->hasDescription = true;
      continue;
    }
    if (i + 1 >= argc) return UsageError("missing value for " + argument);
    const char* value = argv[++i];
    ChannelOptions::Taken taken = channel.Take(argument, value, &error);
    if (taken == ChannelOptions::Taken::kBadValue) return UsageError(error);
    if (taken == ChannelOptions::Taken::kTaken) continue;
    if (argument == "--module") {
      options->module = value;
    } else if (argument == "--severity") {
      if (!ParseNumber(value, &options->severity)) return UsageError("--severity takes a number up to 4294967295");
    } else if (argument == "--code") {
      if (!ParseNumber(value, &options->code)) return UsageError("--code takes a number up to 4294967295");
    } else {
      return UsageError("unknown option " + argument);
    }
  }
  if (!channel.Finish(&options->channel, &error)) return UsageError(error);
  if (options->module.empty()) return UsageError("--module is required");
  return -1;
}

bool Report(const char* what, HRESULT hr) {
  if (hr == S_OK) return true;
  std::fprintf(stderr, "kestrel-publish: %s failed: %s\n", what, DescribeResult(hr).c_str());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int status = ParseOptions(argc, kestrel::tools::Utf8Arguments(argc, argv), &options);
  if (status >= 0) return status;

  INotificationSupplier* supplier = nullptr;
  HRESULT hr = kestrel::tools::CreateComponent(CLSID_NotificationSupplier, IID_INotificationSupplier,
                                               reinterpret_cast<void**>(&supplier));
  if (!Report("creating the supplier", hr)) return 1;

  auto* settings = new kestrel::tools::ChannelSettings(options.channel);
  bool allPublished = Report("Initialize", supplier->Initialize(settings, options.module.c_str()));
  if (allPublished) {
    if (options.hasDescription) {
      allPublished = Report("Publish", supplier->Publish(options.severity, options.code,
                                                         options.description.c_str()));
    } else {
      std::string line;
      while (std::getline(std::cin, line)) {
        if (line.empty()) continue;
        allPublished = Report("Publish", supplier->Publish(options.severity, options.code, line.c_str())) &&
                       allPublished;
      }
    }
  }
  supplier->Release();
  return allPublished ? 0 : 1;
}
