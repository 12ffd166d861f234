#include "bench/soak/soak_options.h"

#include <map>

#include "tools/common/component_loader.h"

namespace kestrel {
namespace soak {

namespace {

const char kUsage[] =
    "usage: kestrel_soak [--seconds N] [--suppliers S] [--consumers C]\n"
    "                    [--restart-every SEC] [--down-ms MS] [--rate N]\n"
    "                    [--consumer-threads N] [--liveness SEC] [--call-timeout MS]\n"
    "                    [--in-flight-ms MS] [--settle SEC] [--drain SEC]\n"
    "                    [--out DIR] [--channeld PATH] [--channeld-env NAME=VALUE]...\n"
    "                    [--state-dir [--event-reliability best-effort|persistent]]\n"
    "       kestrel_soak --audit DIR [--in-flight-ms MS] [--liveness SEC] [--call-timeout MS]\n"
    "  Runs kestrel-channeld on a loopback port with S supplier and C consumer\n"
    "  processes for N seconds (default 600), stopping the service every SEC\n"
    "  seconds (default 5; SIGTERM and SIGKILL in turn) and starting it again\n"
    "  MS milliseconds later (default 500). Each supplier publishes N events a\n"
    "  second (default 100). Afterwards it checks that every event published\n"
    "  while supplier and consumer were connected arrived exactly once and in\n"
    "  order, and reports counts, recovery times, memory and threads; per\n"
    "  restart kind, the S_OK events missed, the repeats, and how long after\n"
    "  the service was up again events arrived.\n"
    "  --restart-every 0  never stops the service: a load run, every event\n"
    "                published must arrive\n"
    "  --liveness, --call-timeout  the library's ConsumerLivenessInterval (2)\n"
    "                and CallTimeout (2000) in the soak's own registry file\n"
    "  --in-flight-ms  events accepted this long before a stop may be lost with\n"
    "                the service (default 250)\n"
    "  --settle      seconds the service stays up after the last restart while\n"
    "                the suppliers go on (default: the recovery bound + 2, that is\n"
    "                liveness + call timeout + 6 s; none without restarts)\n"
    "  --drain       seconds the consumers go on after the suppliers ended (2)\n"
    "  --out         folder for the records and the report (default: a new\n"
    "                folder under /tmp)\n"
    "  --channeld-env NAME=VALUE  sets an environment variable for the service\n"
    "                alone, e.g. ORBthreadPerConnectionPolicy=0; may be repeated\n"
    "  --state-dir   (no value) the service keeps its state in a folder that the\n"
    "                soak makes inside the --out folder, new for each soak and the\n"
    "                same for all its runs, so that clients stay connected across\n"
    "                restarts. The audit is then strict: every S_OK event must\n"
    "                arrive at every consumer exactly once and in order, with no\n"
    "                in-flight allowance; only after a SIGKILL may the events\n"
    "                queued at the kill be missing (best-effort; counted per\n"
    "                restart) and may each consumer get one event twice (counted\n"
    "                as a repeat)\n"
    "  --event-reliability best-effort|persistent  passed to the service (needs\n"
    "                --state-dir); persistent: not even a SIGKILL may lose an\n"
    "                S_OK event\n"
    "  --audit DIR   checks the records of a finished soak in DIR again (its\n"
    "                records say whether it ran with --state-dir)\n"
    "  Exit status: 0 the delivery checks passed, 1 they failed, 2 usage error,\n"
    "  3 the soak could not run.\n";

bool ParseUnsigned(const std::string& text, uint32_t minimum, uint32_t* value) {
  uint32_t parsed = 0;
  if (!kestrel::tools::ParseNumber(text.c_str(), &parsed) || parsed < minimum) return false;
  *value = parsed;
  return true;
}

SoakCommand Error(std::string message) {
  SoakCommand command;
  command.action = SoakCommand::Action::kError;
  command.error = std::move(message);
  return command;
}

}  // namespace

const char* Usage() { return kUsage; }

SoakCommand ParseCommand(int argc, char** argv) {
  SoakCommand command;
  command.action = SoakCommand::Action::kDrive;
  DriverOptions& driver = command.driver;
  WorkerOptions& worker = command.worker;
  // Numbers and the smallest value each takes.
  const std::map<std::string, std::pair<uint32_t*, uint32_t>> numbers = {
      {"--seconds", {&driver.seconds, 1}},
      {"--suppliers", {&driver.suppliers, 1}},
      {"--consumers", {&driver.consumers, 1}},
      {"--restart-every", {&driver.restartEverySeconds, 0}},
      {"--down-ms", {&driver.downMs, 0}},
      {"--rate", {&driver.rate, 1}},
      {"--consumer-threads", {&driver.consumerThreads, 1}},
      {"--liveness", {&driver.livenessSeconds, 1}},
      {"--call-timeout", {&driver.callTimeoutMs, 0}},
      {"--in-flight-ms", {&driver.inFlightMs, 0}},
      {"--settle", {&driver.settleSeconds, 0}},
      {"--drain", {&driver.drainSeconds, 0}},
      {"--id", {&worker.id, 0}},
      {"--port", {&worker.port, 1}},
      {"--worker-rate", {&worker.rate, 1}},
      {"--threads", {&worker.threads, 1}},
  };
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "--help") {
      command.action = SoakCommand::Action::kHelp;
      return command;
    }
    if (argument == "--state-dir") {  // the one option without a value
      driver.stateDir = true;
      continue;
    }
    if (i + 1 >= argc) return Error("missing value for " + argument);
    std::string value = argv[++i];
    auto number = numbers.find(argument);
    if (number != numbers.end()) {
      if (!ParseUnsigned(value, number->second.second, number->second.first)) {
        return Error(argument + " takes a number from " + std::to_string(number->second.second));
      }
    } else if (argument == "--out") {
      driver.outputFolder = value;
    } else if (argument == "--audit") {
      command.action = SoakCommand::Action::kAudit;
      driver.outputFolder = value;
    } else if (argument == "--channeld") {
      driver.channeld = value;
    } else if (argument == "--channeld-env") {
      if (value.find('=') == std::string::npos || value.front() == '=') {
        return Error("--channeld-env takes NAME=VALUE");
      }
      driver.channeldEnvironment.push_back(value);
    } else if (argument == "--event-reliability") {
      if (value != "best-effort" && value != "persistent") {
        return Error("--event-reliability takes best-effort or persistent");
      }
      driver.eventReliability = value;
    } else if (argument == "--records") {
      worker.records = value;
    } else if (argument == "--worker") {
      command.action = SoakCommand::Action::kWork;
      if (value == "supplier") {
        worker.role = WorkerOptions::Role::kSupplier;
      } else if (value == "consumer") {
        worker.role = WorkerOptions::Role::kConsumer;
      } else {
        return Error("--worker takes supplier or consumer");
      }
    } else {
      return Error("unknown option " + argument);
    }
  }
  if (command.action == SoakCommand::Action::kWork && (worker.port == 0 || worker.records.empty())) {
    return Error("a worker needs --port and --records");
  }
  if (!driver.eventReliability.empty() && !driver.stateDir) {
    return Error("--event-reliability needs --state-dir");
  }
  if (driver.restartEverySeconds > 0 && driver.downMs >= driver.restartEverySeconds * 1000u) {
    return Error("--down-ms must be shorter than --restart-every");
  }
  return command;
}

std::vector<std::string> WorkerArguments(const std::string& program, const WorkerOptions& worker) {
  bool supplier = worker.role == WorkerOptions::Role::kSupplier;
  std::vector<std::string> arguments = {program,
                                        "--worker", supplier ? "supplier" : "consumer",
                                        "--id", std::to_string(worker.id),
                                        "--port", std::to_string(worker.port),
                                        "--records", worker.records};
  if (supplier) {
    arguments.insert(arguments.end(), {"--worker-rate", std::to_string(worker.rate)});
  } else {
    arguments.insert(arguments.end(), {"--threads", std::to_string(worker.threads)});
  }
  return arguments;
}

}  // namespace soak
}  // namespace kestrel
