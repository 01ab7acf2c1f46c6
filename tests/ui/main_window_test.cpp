// The main window against scripted engines: the trees follow what the
// engines report, playback opens and closes the right player, and the
// notification icon's menu speaks the user's language.

#include <QAction>
#include <QMenu>
#include <QSignalSpy>
#include <QThreadPool>
#include <QTranslator>
#include <QtTest>

#include <mutex>

#include "core/event_callback.h"
#include "ui/main_window.h"

using namespace tovaly;
using namespace tovaly::ui;

namespace {

class ScriptedPlayer : public PlayerControl {
 public:
  int GetCurrentConnectionID() override { return 0; }
  int GetPositionInfo(int, int64_t* duration, int64_t* relTime) override {
    if (duration) *duration = 60;
    if (relTime) *relTime = 1;
    return 0;
  }
  void Play(int) override {}
  void Pause(int) override {}
  void Stop(int) override {}
  int Seek(int, int) override { return 0; }
  int ChangeVolume(int, int) override { return 0; }
};

// Records what the window asks; reports devices and content through the
// callback the window gave it, as the real engines do from their threads.
class ScriptedEngines : public HostEngines {
 public:
  std::string StartServer(EventCallback cb, void* ctx) override {
    Log("StartServer");
    std::lock_guard<std::mutex> lk(m);
    callback = cb;
    context = ctx;
    return "";
  }
  std::string StartControlPoint(EventCallback, void*) override { return Log("StartControlPoint"), ""; }
  void Stop() override { Log("Stop"); }
  std::string PhonePageUrl() override { return "http://192.0.2.1:49153/"; }
  void Search(int kinds) override { Log("Search " + std::to_string(kinds)); }
  void Refresh(int kinds) override { Log("Refresh " + std::to_string(kinds)); }
  int Browse(const std::string& udn, const std::string& id, void* token) override {
    Log("Browse " + udn + " " + id);
    int n = 0;
    // A folder "0" holds one container and one item; "box" holds two items.
    if (id == "0") {
      BrowseContainerFound c{token, "Box", "box"};
      Report(kEventBrowseContainer, &c);
      BrowseItemFound i{token, "Top song", -1, "http://x/top.mp3", "top", 3, "http-get:*:audio/mpeg:*", ""};
      Report(kEventBrowseItem, &i);
      n = 2;
    } else if (id == "box") {
      for (const char* t : {"b item", "a item"}) {
        BrowseItemFound i{token, t, -1, "http://x/i.mp3", t, 3, "http-get:*:audio/mpeg:*", ""};
        Report(kEventBrowseItem, &i);
      }
      n = 2;
    }
    return n;
  }
  bool StartRendering(const StartRenderingRequest& r) override {
    Log(std::string("StartRendering ") + r.rendererUdn + " " + r.serverUdn + " " + r.uri + " " + r.title);
    return true;
  }
  void StopRendering(const std::string& udn) override { Log("StopRendering " + udn); }
  void RemoveDevice(const std::string& udn) override { Log("RemoveDevice " + udn); }
  bool OffersStorage(const std::string& udn) override { return udn == "uuid:store"; }
  int StorageInfo(const std::string&, uint64_t* total, uint64_t* free) override {
    *total = 29812ull << 20;
    *free = 1024ull << 20;
    return 0;
  }
  std::unique_ptr<PlayerControl> Player(const std::string&) override { return std::make_unique<ScriptedPlayer>(); }

  void Report(int32_t code, void* args, void* ctx = nullptr) {
    EventCallback cb;
    {
      std::lock_guard<std::mutex> lk(m);
      cb = callback;
      if (!ctx) ctx = context;
    }
    cb(ctx, code, args);
  }
  void* Context() {
    std::lock_guard<std::mutex> lk(m);
    return context;
  }
  bool Called(const std::string& what) {
    std::lock_guard<std::mutex> lk(m);
    return std::find(calls.begin(), calls.end(), what) != calls.end();
  }
  int Count(const std::string& prefix) {
    std::lock_guard<std::mutex> lk(m);
    return static_cast<int>(std::count_if(calls.begin(), calls.end(),
                                          [&](const std::string& c) { return c.rfind(prefix, 0) == 0; }));
  }

 private:
  void Log(const std::string& what) {
    std::lock_guard<std::mutex> lk(m);
    calls.push_back(what);
  }
  std::mutex m;
  std::vector<std::string> calls;
  EventCallback callback = nullptr;
  void* context = nullptr;
};

void Appear(ScriptedEngines& e, int32_t code, const char* name, const char* udn) {
  DeviceAppeared a{name, udn, "http://192.0.2.9/"};
  e.Report(code, &a);
}

void Leave(ScriptedEngines& e, int32_t code, const char* name, const char* udn) {
  DeviceLeft l{name, udn};
  e.Report(code, &l);
}

QStringList TopTexts(QTreeWidget* tree) {
  QStringList out;
  for (int i = 0; i < tree->topLevelItemCount(); ++i) out << tree->topLevelItem(i)->text(0);
  return out;
}

QTreeWidgetItem* Child(QTreeWidgetItem* parent, const QString& text) {
  for (int i = 0; parent && i < parent->childCount(); ++i)
    if (parent->child(i)->text(0) == text) return parent->child(i);
  return nullptr;
}

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    engines = std::make_shared<ScriptedEngines>();
    window = std::make_unique<COrlinDlg>(engines, false);
    window->Initialise();
  }
  void cleanup() {
    window.reset();
    QThreadPool::globalInstance()->waitForDone();  // the scripted engines' workers
  }

  void treesFollowDevices() {
    Appear(*engines, kEventServerAdded, "b server", "uuid:b");
    Appear(*engines, kEventServerAdded, "A server", "uuid:a");
    Appear(*engines, kEventServerAdded, "b server again", "uuid:b");  // same UDN: one fresh node
    QTRY_COMPARE(TopTexts(window->serverTree()), (QStringList{"A server", "b server again"}));
    QVERIFY(window->findChild<QLabel*>() != nullptr);
    QCOMPARE(LabelTexts(), (QStringList{"Renderer (0)", "Server (2)"}));

    // Twins by name: the one whose UDN leaves goes.
    Appear(*engines, kEventRendererAdded, "Twin", "uuid:t1");
    Appear(*engines, kEventRendererAdded, "Twin", "uuid:t2");
    QTRY_COMPARE(window->rendererTree()->topLevelItemCount(), 2);
    Leave(*engines, kEventRendererRemoved, "Twin", "uuid:t2");
    Leave(*engines, kEventServerRemoved, "A server", "uuid:a");
    QTRY_COMPARE(window->rendererTree()->topLevelItemCount(), 1);
    QVERIFY(window->trees().RendererId("uuid:t1") != 0);
    QVERIFY(window->trees().RendererId("uuid:t2") == 0);
    QTRY_COMPARE(TopTexts(window->serverTree()), QStringList{"b server again"});
    QCOMPARE(LabelTexts(), (QStringList{"Renderer (1)", "Server (1)"}));
  }

  void browsingReadsOneLevelAhead() {
    Appear(*engines, kEventServerAdded, "Library", "uuid:lib");
    QTRY_VERIFY(Child(window->serverTree()->topLevelItem(0), "Box"));
    QTreeWidgetItem* server = window->serverTree()->topLevelItem(0);
    QCOMPARE(engines->Count("Browse uuid:lib box"), 0);
    window->serverTree()->expandItem(server);  // its containers are read now
    QTRY_VERIFY(Child(Child(server, "Box"), "b item"));
    QCOMPARE(Child(server, "Box")->child(0)->text(0), QString("a item"));  // sorted
    QCOMPARE(engines->Count("Browse uuid:lib box"), 1);
    window->serverTree()->collapseItem(server);
    window->serverTree()->expandItem(server);  // read once only
    window->serverTree()->expandItem(Child(server, "Box"));  // items only: nothing to read
    QVERIFY(QThreadPool::globalInstance()->waitForDone(10000));
    QCOMPARE(engines->Count("Browse"), 2);
  }

  void refreshAndResetStartOver() {
    Appear(*engines, kEventServerAdded, "Library", "uuid:lib");
    Appear(*engines, kEventRendererAdded, "TV", "uuid:tv");
    QTRY_COMPARE(window->rendererTree()->topLevelItemCount(), 1);
    QTRY_COMPARE(window->serverTree()->topLevelItemCount(), 1);

    window->RefreshServers();
    QCOMPARE(window->serverTree()->topLevelItemCount(), 0);
    QCOMPARE(window->rendererTree()->topLevelItemCount(), 1);
    QCOMPARE(LabelTexts(), (QStringList{"Renderer (1)", "Server (0)"}));
    QTRY_VERIFY(engines->Called("Refresh 1"));

    void* before = engines->Context();
    window->Reset();
    QCOMPARE(window->rendererTree()->topLevelItemCount(), 0);
    QTRY_COMPARE(engines->Count("StartControlPoint"), 2);
    QCOMPARE(engines->Count("Stop"), 1);
    QVERIFY(engines->Context() != before);
    // What the engines reported before the restart no longer counts.
    DeviceAppeared stale{"Stale", "uuid:stale", "http://192.0.2.9/"};
    engines->Report(kEventServerAdded, &stale, before);
    Appear(*engines, kEventServerAdded, "Fresh", "uuid:fresh");
    QTRY_COMPARE(TopTexts(window->serverTree()), QStringList{"Fresh"});
  }

  void playerBelongsToItsRenderer() {
    Appear(*engines, kEventRendererAdded, "TV", "uuid:tv");
    Appear(*engines, kEventRendererAdded, "Radio", "uuid:radio");
    Appear(*engines, kEventServerAdded, "Library", "uuid:lib");
    QTRY_VERIFY(Child(window->serverTree()->topLevelItem(0), "Top song"));
    QTreeWidgetItem* server = window->serverTree()->topLevelItem(0);

    window->PlayItem(Child(server, "Box"));  // a container does not play
    window->PlayItem(server);
    window->rendererTree()->setCurrentItem(window->trees().Item(window->trees().RendererId("uuid:tv")));
    QSignalSpy opened(window.get(), &COrlinDlg::playerOpened);
    window->PlayItem(Child(server, "Top song"));
    QTRY_COMPARE(opened.count(), 1);
    QCOMPARE(engines->Count("StartRendering"), 1);
    QVERIFY(engines->Called("StartRendering uuid:tv uuid:lib http://x/top.mp3 Top song"));
    QVERIFY(window->player());

    // Another renderer's end or departure leaves this player open.
    TransportStateChanged otherEnd{7, "uuid:radio"};
    engines->Report(kEventTransportState, &otherEnd);
    Leave(*engines, kEventRendererRemoved, "Radio", "uuid:radio");
    QTRY_COMPARE(window->rendererTree()->topLevelItemCount(), 1);
    QVERIFY(window->player() && window->player()->isVisible());

    TransportStateChanged end{7, "uuid:tv"};
    engines->Report(kEventTransportState, &end);
    QTRY_VERIFY(!window->player());
    QTRY_VERIFY(engines->Called("StopRendering uuid:tv"));
  }

  void storageShowsBelowItsRenderer() {
    Appear(*engines, kEventRendererAdded, "Box with disk", "uuid:store");
    Appear(*engines, kEventRendererAdded, "Plain", "uuid:plain");
    QTRY_COMPARE(window->rendererTree()->topLevelItemCount(), 2);
    QTreeWidgetItem* store = window->trees().Item(window->trees().RendererId("uuid:store"));
    QTRY_COMPARE(store->childCount(), 1);
    QCOMPARE(store->child(0)->text(0), QString("total=29812MB, free=1024MB"));
    QCOMPARE(window->trees().Item(window->trees().RendererId("uuid:plain"))->childCount(), 0);
  }

  void iconMenuByOptionAndLanguage() {
    // No notification area here: the window shows itself, with or without the option.
    QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
    QVERIFY(window->isVisible());
    QCOMPARE(MenuTexts(window->TrayMenu()), (QStringList{"Reset", "Setting", "Quit"}));
    COrlinDlg shown(engines, true);
    shown.Initialise();
    QTranslator chinese;
    QVERIFY(chinese.load(QLocale(QLocale::Chinese, QLocale::China), "tovaly", "_", ":/i18n"));
    QCoreApplication::installTranslator(&chinese);
    QCOMPARE(MenuTexts(shown.TrayMenu()), (QStringList{"隐藏主窗口", "重启服务", "设置", "退出"}));
    shown.hide();
    QCOMPARE(MenuTexts(shown.TrayMenu()).first(), QString("显示主窗口"));
    QCoreApplication::removeTranslator(&chinese);
  }

 private:
  QStringList LabelTexts() const {
    QStringList out;
    for (QLabel* l : window->findChildren<QLabel*>())
      if (l->text().startsWith("Server") || l->text().startsWith("Renderer")) out << l->text();
    out.sort();
    return out;
  }
  static QStringList MenuTexts(QMenu* menu) {
    QStringList out;
    for (QAction* a : menu->actions()) out << a->text();
    return out;
  }

  std::shared_ptr<ScriptedEngines> engines;
  std::unique_ptr<COrlinDlg> window;
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
