// vortana-term: the terminal page on the command line. Qt Core only, like
// vortana-isp beside it.
#include <QCoreApplication>

#include <cstdio>

#include "term/TermOptions.h"
#include "term/TermSession.h"
#include "term/TermTransfer.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QStringList args = QCoreApplication::arguments();
  args.removeFirst();
  const TermOptions o = ParseTermOptions(args);
  switch (o.mode) {
    case TermOptions::Mode::Help:
      std::fputs(TermHelpText().toUtf8().constData(), stdout);
      return 0;
    case TermOptions::Mode::UsageError:
      std::fprintf(stderr, "vortana-term: %s\ntry 'vortana-term --help'\n", o.error.toUtf8().constData());
      return 2;
    case TermOptions::Mode::ListPorts:
      return PrintPortList();
    case TermOptions::Mode::Doctor:
      return PrintDoctorReport(o.port);
    case TermOptions::Mode::Transfer:
      return RunTermTransfer(o);
    case TermOptions::Mode::Run:
      break;
  }
  if (o.frames.kind != TermFrameJob::Kind::None) return RunFrameJob(o);
  return RunTermSession(o);
}
