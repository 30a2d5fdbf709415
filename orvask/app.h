#pragma once
// The program entry of the checker: options, command word, and the commands.
#include <ostream>
#include <string>
#include <vector>

#include "orvask/database.h"
#include "orvask/drive.h"
#include "orvask/framework.h"
#include "orvask/inventory.h"
#include "orvask/log.h"

namespace orvask {

struct OrvaskContext {
  ProductInventory& inventory;
  DriveProbe& drive;
  CLog& log;
  std::ostream& out;
  DatabaseSettings database;
  // The run has rights (runsWithRights): the working directory, the database and the
  // log must then be the caller's own and writable by no one else.
  bool rights = false;
};

// Runs one command given the outcome of the platform start-up and the arguments
// (without the program name). Returns the exit status: 0, or -1 for a failed start-up,
// a run with rights in a place others can change, an unacceptable command line, or a
// failure that escaped a command.
[[nodiscard]] int runOrvask(StartupStatus startup, const std::vector<std::string>& args, OrvaskContext& context);

}  // namespace orvask
