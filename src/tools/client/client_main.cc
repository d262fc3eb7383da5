// quorvanta-client: pairs with a host and runs sessions from the command line, standing in for
// a phone. Received control messages go to standard output as JSON lines.

extern "C" {
#include <libavutil/log.h>
}

#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "quorvanta_version.h"
#include "tools/client/client_options.h"
#include "tools/client/client_session.h"

int main(int argc, char** argv) {
  using namespace quorvanta::client;
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const ParsedArguments parsed = parseArguments(arguments);
  switch (parsed.kind) {
    case ParsedArguments::Kind::help:
      std::cout << usageText();
      return kExitOk;
    case ParsedArguments::Kind::version:
      std::cout << "quorvanta-client " << quorvanta::kVersion << std::endl;
      return kExitOk;
    case ParsedArguments::Kind::usageError:
      std::cerr << parsed.error << "\nRun quorvanta-client --help for usage." << std::endl;
      return kExitUsage;
    case ParsedArguments::Kind::run:
      break;
  }
  // Standard error is for sentences; libav's warnings about the stream would only clutter it.
  av_log_set_level(AV_LOG_ERROR);
  try {
    return runClient(parsed.options, ClientStreams{std::cout, std::cerr});
  } catch (const std::exception& error) {
    std::cerr << "quorvanta-client: " << error.what() << std::endl;
    return kExitFailure;
  }
}
