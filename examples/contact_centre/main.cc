// A contact centre on the Queue Manager server emulator, shown in the
// terminal: see Run.h. Exits 1 when the final check fails or the emulator
// cannot be reached, 2 on a bad command line.

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "Options.h"
#include "Run.h"

int main(int argc, char** argv) {
  using namespace ContactCentre;
  const std::string program = argc > 0 ? argv[0] : "qm_contact_centre";
  const ParsedOptions parsed =
      ParseOptions(std::vector<std::string>(argv + std::min(argc, 1), argv + argc), program);
  if (const int status = QueueManager::CommandLine::Report(parsed.outcome, program); status >= 0)
    return status;
  const Console::eMode mode = parsed.options.quiet          ? Console::eMode::kQuiet
                              : isatty(fileno(stdout)) != 0 ? Console::eMode::kLive
                                                            : Console::eMode::kLines;
  ContactCentre::RunObserver nobody;
  return Run(parsed.options, mode, nobody);
}
