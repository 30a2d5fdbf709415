// Orvask: decides whether this workstation may be used and prints the verdict.
#include <iostream>
#include <string>
#include <vector>

#include "common/dll_search.h"
#include "orvask/app.h"

int main(int argc, char** argv) {
  // Before anything loads a module: msi.dll and the rest never come from the working
  // directory.
  (void)tarvo::removeWorkingDirectoryFromDllSearch();
  // The start-up comes first: it makes sure the log cannot land on a standard descriptor.
  const orvask::StartupStatus startup = orvask::platformStartup();
  orvask::CLog& log = orvask::CLog::instance();
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  const auto inventory = orvask::makeInventory();
  const auto drive = orvask::makeDriveProbe();
  orvask::OrvaskContext context{*inventory, *drive, log, std::cout, orvask::DatabaseSettings{},
                                orvask::runsWithRights()};
  const int status = orvask::runOrvask(startup, args, context);
  log.close();
  return status;
}
