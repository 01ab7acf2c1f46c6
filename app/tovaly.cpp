// tovaly: the desktop program. The media server and the control point behind
// a window with a server tree and a renderer tree, and a notification icon.

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include <QApplication>
#include <QLocale>
#include <QSocketNotifier>
#include <QTranslator>

#include "app/startup.h"
#include "core/app_config.h"
#include "core/heap.h"
#include "library/catalog.h"
#include "library/host_answers.h"
#include "ui/engines.h"
#include "ui/main_window.h"

namespace {

const char kUsage[] =
    "Usage: tovaly [--show]\n"
    "\n"
    "Share a folder of this computer with the TVs, phones and players of the home\n"
    "network (UPnP AV / DLNA), and play what the media servers around hold on a\n"
    "renderer. Lives as an icon in the notification area; without one, its window\n"
    "is shown. Starting it again ends the running copy and takes its place.\n"
    "\n"
    "Options:\n"
    "  --show         open the window at once (also -show or /show)\n"
    "  --version      print the version and exit\n"
    "  -h, --help     show this help\n";

int signalPipe[2] = {-1, -1};

void OnStopSignal(int) {
  const char c = 1;
  [[maybe_unused]] ssize_t n = write(signalPipe[1], &c, 1);
}

// SIGTERM (the session ending) and Ctrl-C quit as the menu's Quit does, so
// the server says goodbye to the network. Caught from the first moment: one
// that comes while the program starts waits in the pipe until the window
// can quit.
void CatchStopSignals() {
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) return;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

void QuitOnStopSignals(tovaly::ui::COrlinDlg* window) {
  if (signalPipe[0] < 0) return;
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, window);
  QObject::connect(notifier, &QSocketNotifier::activated, window, [window] {
    char c;
    [[maybe_unused]] ssize_t n = read(signalPipe[0], &c, 1);
    window->Quit();
  });
}

}  // namespace

int main(int argc, char** argv) {
  tovaly::UseOneHeapArenaPerCore();
  // Answered before Qt starts, so that they need no display.
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--version") == 0) {
      printf("tovaly %s\n", TOVALY_VERSION);
      return 0;
    }
    if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) {
      fputs(kUsage, stdout);
      return 0;
    }
  }
  CatchStopSignals();
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("tovaly"));
  QApplication::setDesktopFileName(QStringLiteral("tovaly"));
  // The window is often hidden behind the icon: only Quit ends the program.
  QApplication::setQuitOnLastWindowClosed(false);

  const bool show = tovaly::app::HasShowOption(QApplication::arguments());
  tovaly::app::SingleInstance instance;
  if (instance.Claim() == tovaly::app::SingleInstance::kGiveUp) return 0;

  tovaly::app::FirewallStep(tovaly::util::AppConfig::Instance(), geteuid() == 0);

  QTranslator translator;
  if (translator.load(QLocale(), QStringLiteral("tovaly"), QStringLiteral("_"), QStringLiteral(":/i18n")))
    QApplication::installTranslator(&translator);

  int rc;
  // What the listings say about the files (tags, durations, pictures):
  // before the engines start, gone after they stopped.
  tovaly::MediaCatalog catalog;
  tovaly::SetMediaCatalog(&catalog);
  {
    tovaly::ui::COrlinDlg window(std::make_shared<tovaly::ui::StackEngines>(), show);
    QObject::connect(&instance, &tovaly::app::SingleInstance::quitRequested, &window, &tovaly::ui::COrlinDlg::Quit);
    QuitOnStopSignals(&window);
    window.Initialise();
    rc = QApplication::exec();
  }  // the control point, then the media server
  tovaly::SetMediaCatalog(nullptr);
  return rc;
}
