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
#include "term/TermSession.h"

#include <QByteArray>
#include <cerrno>
#include <cstring>
#include <vector>

namespace {

// Becomes vortana-term (beside this program) on the port just used, so the
// program's first output shows without switching tools.
int ExecTerminal(const QString& port, uint32_t baud) {
  std::fflush(stdout);
  std::fflush(stderr);
  const QByteArray term = (QCoreApplication::applicationDirPath() + QStringLiteral("/vortana-term")).toLocal8Bit();
  const QByteArray p = port.toLocal8Bit(), b = QByteArray::number(baud);
  std::vector<char*> argv{const_cast<char*>(term.constData()), const_cast<char*>("-p"), const_cast<char*>(p.constData()),
                          const_cast<char*>("-b"), const_cast<char*>(b.constData()), nullptr};
  ::execv(term.constData(), argv.data());
  std::fprintf(stderr, "cannot start %s: %s\n", term.constData(), std::strerror(errno));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  Console console(stdout, stderr, ::isatty(STDERR_FILENO) == 1);

  QStringList args = QCoreApplication::arguments();
  args.removeFirst();
  // The port questions stand alone: no family, no file.
  if (args.contains(QStringLiteral("--list-ports"))) return PrintPortList();
  if (const qsizetype d = args.indexOf(QStringLiteral("--doctor")); d >= 0) {
    QString port;
    if (d + 1 < args.size() && !args[d + 1].startsWith(u'-')) port = args[d + 1];
    for (qsizetype i = 0; port.isEmpty() && i + 1 < args.size(); ++i)
      if (args[i] == QLatin1String("-p") || args[i] == QLatin1String("--port")) port = args[i + 1];
    return PrintDoctorReport(port);
  }
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
  if (parsed.options.termBaud && IsProductionRun(parsed.options)) {
    console.Error(QStringLiteral("--term needs a single board (one -p)"));
    return kExitUsage;
  }
  int status;
  {
    IspRunner runner(parsed.options, console);
    status = runner.Exec();
  }  // the port is closed here, before the terminal takes it
  if (status != kExitInChip || !parsed.options.termBaud) return status;
  return ExecTerminal(parsed.options.port, parsed.options.termBaud);
}
