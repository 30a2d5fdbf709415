// Orvask: decides whether this workstation may be used and prints the verdict.
#include <iostream>
#include <string>
#include <vector>

#include "orvask/app.h"

int main(int argc, char** argv) {
  // The start-up comes first: it makes sure the log cannot land on a standard descriptor.
  const orvask::StartupStatus startup = orvask::platformStartup();
  orvask::CLog& log = orvask::CLog::instance();
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  const auto inventory = orvask::makeInventory();
  const auto drive = orvask::makeDriveProbe();
  orvask::OrvaskContext context{*inventory, *drive, log, std::cout, orvask::DatabaseSettings{}};
  const int status = orvask::runOrvask(startup, args, context);
  log.close();
  return status;
}
