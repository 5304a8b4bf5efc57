// vortana-isp: the ISP page of the window on the command line, for build
// scripts, SSH sessions and production lines. Qt Core only: the engines run
// on a plain event loop and nothing needs a display.
#include <QCoreApplication>

#include <cstdio>
#include <unistd.h>

#include "cli/CliOptions.h"
#include "cli/Console.h"
#include "cli/IspRunner.h"
#include "cli/LineRunner.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  Console console(stdout, stderr, ::isatty(STDERR_FILENO) == 1);

  QStringList args = QCoreApplication::arguments();
  args.removeFirst();
  const ParsedCommandLine parsed = ParseCommandLine(args);
  switch (parsed.kind) {
    case ParsedCommandLine::Kind::Help:
      std::fputs(HelpText().toUtf8().constData(), stdout);
      return kExitInChip;
    case ParsedCommandLine::Kind::UsageError:
      console.Error(parsed.error);
      console.Error(QStringLiteral("try 'vortana-isp --help'"));
      return kExitUsage;
    case ParsedCommandLine::Kind::Run:
      break;
  }
  if (parsed.options.porcelain) console.SetPorcelain(true);
  for (const QString& note : parsed.notes) console.Error(note);

  if (IsProductionRun(parsed.options) && !parsed.options.porcelain) {
    LineRunner line(parsed.options, console, stderr, ::isatty(STDERR_FILENO) == 1);
    return line.Exec();
  }
  IspRunner runner(parsed.options, console);
  return runner.Exec();
}
