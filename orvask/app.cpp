#include "orvask/app.h"

#include "orvask/checker.h"
#include "orvask/file_guard.h"

namespace orvask {

namespace {

constexpr const char* kUnrecognised = "Argumento(s) nao reconhecido(s).";
constexpr const char* kOutputFailed = "Falha ao escrever na saida padrao.";

int verifyMachine(OrvaskContext& context) {
  CChecker checker(context.inventory, context.database);
  checker.EnumerateInstalledSoftware();
  int verdict = checker.CheckBlackList();
  if (verdict == kMachineReleased) {
    const unsigned drive = context.drive.protectedDriveType();
    if (drive != kDriveFixed && drive != kDriveRemote) verdict = kDriveFailed;
  }
  if (verdict == kMachineReleased) verdict = checker.CheckWhiteList();
  checker.PrintResult(verdict, context.out);
  // The white list keeps the new products only once the host has the document that
  // lists them; otherwise they are reported again by the next run.
  if (!context.out.flush()) throw FrameworkError(kOutputFailed);
  checker.CommitWhiteList();
  return 0;
}

int updateBlackList(const std::vector<std::string>& args, std::size_t at, OrvaskContext& context) {
  SoftwareMap entries;
  if (at >= args.size() || !readBlackListInput(args[at], entries)) {
    context.out << "error" << std::endl;
    return 0;
  }
  // The command only adds. 61465 means every entry read was stored; a batch that was
  // abandoned (busy past the wait, a read-only database) or stopped at a failing row
  // gets the answer for an update that could not be applied.
  CDBOrvask database(context.database);
  if (database.InsertList(kInsertBlackList, entries) != kDbDone) {
    context.log.Stream(LogLevel::Error) << "BlackList nao atualizada: " << database.lastError() << std::endl;
    context.out << "error" << std::endl;
    return 0;
  }
  CChecker checker(context.inventory, context.database);
  checker.PrintResult(kBlackListUpdated, context.out);
  return 0;
}

// A run with rights trusts only what no one else can change: the working directory
// (where the database and the log are created), the database with its side files, and
// the log. The first that fails the rule, and why; empty when all hold.
std::string untrustedPlace(const OrvaskContext& context) {
  if (!context.log.refusal().empty()) return context.log.refusal();
  std::string problem = checkTrusted(".", "O diretorio de trabalho");
  const std::string& db = context.database.path;
  for (const char* suffix : {"", "-journal", "-wal", "-shm"})
    if (problem.empty()) problem = checkTrusted(db + suffix, db + suffix);
  return problem;
}

int runCommand(const std::vector<std::string>& args, std::size_t options, OrvaskContext& context) {
  const std::string* word = options < args.size() ? &args[options] : nullptr;
  if (word != nullptr && compareNoCase(*word, "Version") == 0) {
    context.out << "Version!" << std::endl;
    return 0;
  }
  if (word != nullptr && compareNoCase(*word, "VerifyMachine") == 0) return verifyMachine(context);
  if (word != nullptr && compareNoCase(*word, "UpdateBlackList") == 0)
    return updateBlackList(args, options + 1, context);
  if (word != nullptr && compareNoCase(*word, "InitDB") == 0) {
    // Only builds the access object: the schema is provided with the database file.
    CDBOrvask database(context.database);
    return 0;
  }
  // No command word (only options) is handled like an unknown one.
  context.log.Stream(LogLevel::Error) << kUnrecognised << args.front() << std::endl;
  return 0;
}

}  // namespace

int runOrvask(StartupStatus startup, const std::vector<std::string>& args, OrvaskContext& context) {
  CLog& log = context.log;
  // DEBUG lines are on before -debug is read, with or without it: every log holds the
  // start-up and argument lines, and the option only moves the command word along.
  log.setDebug(true);
  if (startup == StartupStatus::NoStandardOutput) {
    log.Stream(LogLevel::Error) << "Erro Fatal: GetModuleHandle falhou." << std::endl;
    return -1;
  }
  if (startup == StartupStatus::ProcessSetupFailed) {
    log.Stream(LogLevel::Error) << "Erro de inicializacao na MFC." << std::endl;
    return -1;
  }
  if (context.rights) {
    if (const std::string problem = untrustedPlace(context); !problem.empty()) {
      const std::string line = "Execucao com privilegios recusada: " + problem;
      if (log.isOpen()) log.Stream(LogLevel::Error) << line << std::endl;
      else FrameworkError(line).report();  // the log itself was refused
      return -1;
    }
  }
  try {
    if (args.empty()) {
      log.Stream(LogLevel::Error) << kUnrecognised << std::endl;
      return -1;
    }
    std::size_t options = 0;
    std::string argumentList;
    for (const std::string& arg : args) {
      if (!arg.empty() && arg.front() == '-') {
        if (compareNoCase(std::string_view(arg).substr(1), "debug") != 0) {
          log.Stream(LogLevel::Error) << kUnrecognised << std::endl;
          return -1;
        }
        ++options;
        log.setDebug(true);
      }
      argumentList += arg;
      argumentList += '|';
    }
    log.Stream(LogLevel::Debug) << "Programa Orvask iniciando." << std::endl;
    log.Stream(LogLevel::Debug) << "Lista de argumentos: " << argumentList << std::endl;
    const int status = runCommand(args, options, context);
    // An answer that did not reach standard output in full (closed, full, a reader that
    // went away) is no answer: the run fails instead of ending as if it had answered.
    if (!context.out.flush()) throw FrameworkError(kOutputFailed);
    return status;
  } catch (const std::exception& failure) {
    context.out.flush();
    log.Stream(LogLevel::Error) << "Erro generico na aplicacao." << boundedErrorText(failure) << std::endl;
    return -1;
  }
}

}  // namespace orvask
