// Program entry: the main window, then the two programmer windows, then the
// message loop until the main window closes.
#include <QApplication>
#include <QSocketNotifier>
#include <QToolTip>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

#include "app/MainForm.h"

namespace {
int g_signalPipe[2] = {-1, -1};

void OnTerminate(int) {
  const char c = 1;
  [[maybe_unused]] ssize_t n = ::write(g_signalPipe[1], &c, 1);
}
}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  LoadQtChineseTexts(app);
  TMainForm form;
  form.CreateProgrammers();

  QPalette tip = QToolTip::palette();
  tip.setColor(QPalette::ToolTipBase, QColor(11, 255, 11));
  QToolTip::setPalette(tip);

  // SIGTERM and SIGINT close the window as the user's close would, so the
  // settings are written.
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPipe) == 0) {
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &form);
    QObject::connect(notifier, &QSocketNotifier::activated, &form, [&form] {
      char c;
      [[maybe_unused]] ssize_t n = ::read(g_signalPipe[0], &c, 1);
      form.close();
    });
    struct sigaction sa {};
    sa.sa_handler = OnTerminate;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
  }

  form.show();
  return app.exec();
}
