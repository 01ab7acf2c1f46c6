// The main window against scripted engines: its trees, its player and the
// notification icon's menu.
#include <QAction>
#include <QBuffer>
#include <QLabel>
#include <QMenu>
#include <QThreadPool>
#include <QTranslator>
#include <QtTest>

#include <atomic>
#include <mutex>
#include <thread>

#include "core/event_callback.h"
#include "ui/main_window.h"
#include "upnp/didl.h"

using namespace tovaly;
using namespace tovaly::ui;

namespace {

struct IdlePlayer : PlayerControl {
  int GetCurrentConnectionID() override { return 0; }
  int GetPositionInfo(int, int64_t*, int64_t*) override { return 0; }
  void Play(int) override {}
  void Pause(int) override {}
  void Stop(int) override {}
  int Seek(int, int) override { return 0; }
  int ChangeVolume(int, int) override { return 0; }
};

// Logs the window's calls and reports through its callback, as the real
// engines do from their threads. Folder "0" holds the containers Box and
// Empty and one item; Box holds two items.
class ScriptedEngines : public HostEngines {
 public:
  std::atomic<EventCallback> callback = nullptr;
  std::atomic<void*> context = nullptr;  // the window's link of its latest start

  std::string StartServer(EventCallback cb, void* ctx) override { return callback = cb, context = ctx, ""; }
  std::string StartControlPoint(EventCallback, void*) override { return Log("StartControlPoint"), ""; }
  void Stop() override { Log("Stop"); }
  std::string PhonePageUrl() override { return ""; }
  void Search(int) override {}
  void Refresh(int kinds) override { Log(QString("Refresh %1").arg(kinds)); }
  int Browse(const std::string& udn, const std::string& id, void* token) override {
    Log(QString::fromStdString("Browse " + udn + " " + id));
    int n = 0;
    for (const char* box : {"Box", "Empty"}) {
      BrowseContainerFound c{token, box, box};
      if (id == "0") Report(kEventBrowseContainer, &c), ++n;
    }
    for (const char* t : {"Top song", "b item", "a item"}) {
      DidlEntry d;
      d.artist = "The <b>Band</b>";
      d.album = "Blue & 'Green'";
      d.albumArtURI = "http://x/cover.png";
      BrowseItemFound i{token, t, -1, "http://x/top.mp3", t, 3, "http-get:*:audio/mpeg:*", "", &d};
      if (id == (t[0] == 'T' ? "0" : "Box")) Report(kEventBrowseItem, &i), ++n;
    }
    // Songs whose covers go wrong: on another host, not a picture, never
    // coming; and one without a cover or any tag.
    for (const char* art : {"http://elsewhere/cover.png", "http://x/garbage", "http://x/hang", ""}) {
      DidlEntry d;
      d.albumArtURI = art;
      const std::string title = std::string("Cover ") + (*art ? art : "none");
      BrowseItemFound i{token, title.c_str(), -1, "http://x/top.mp3", title.c_str(), 3, "http-get:*:audio/mpeg:*", "",
                        *art ? &d : nullptr};
      if (id == "0") Report(kEventBrowseItem, &i), ++n;
    }
    return n;
  }
  // A 160-pixel red square for the one cover there is; a hang until the
  // window goes for "hang".
  std::string FetchCover(const std::string& url, std::function<bool()> cancelled) override {
    Log(QString::fromStdString("FetchCover " + url));
    if (url == "http://x/hang") {
      while (!cancelled()) std::this_thread::yield();
      return "";
    }
    if (url != "http://x/cover.png") return "<html>not a picture</html>";
    QImage red(160, 160, QImage::Format_RGB32);
    red.fill(Qt::red);
    QBuffer png;
    png.open(QIODevice::WriteOnly);
    red.save(&png, "PNG");
    return png.data().toStdString();
  }
  bool StartRendering(const StartRenderingRequest& r) override {
    return Log(QString("StartRendering %1 %2 %3 %4").arg(r.rendererUdn, r.serverUdn, r.uri, r.title)), true;
  }
  void StopRendering(const std::string& udn) override { Log(QString::fromStdString("StopRendering " + udn)); }
  void RemoveDevice(const std::string&) override {}
  bool OffersStorage(const std::string& udn) override { return udn == "uuid:store"; }
  int StorageInfo(const std::string&, uint64_t* total, uint64_t* free) override {
    return *total = 29812ull << 20, *free = 1024ull << 20, 0;
  }
  std::unique_ptr<PlayerControl> Player(const std::string&) override { return std::make_unique<IdlePlayer>(); }

  void Report(int32_t code, void* args, void* ctx = nullptr) {
    callback.load()(ctx ? ctx : context.load(), code, args);
  }
  QStringList Calls(const QString& prefix) {
    std::lock_guard<std::mutex> lk(m);
    return calls.filter(QRegularExpression("^" + prefix));
  }
  void Log(const QString& what) {
    std::lock_guard<std::mutex> lk(m);
    calls << what;
  }
  std::mutex m;
  QStringList calls;
};

void Device(ScriptedEngines& e, int32_t code, const char* udn, const char* name = "Twin", void* ctx = nullptr) {
  DeviceAppeared a{name, udn, "http://192.0.2.9/"};
  DeviceLeft l{name, udn};
  e.Report(code, code == kEventServerRemoved || code == kEventRendererRemoved ? static_cast<void*>(&l) : &a, ctx);
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
  void cleanup() { window.reset(); }

  void treesFollowDevicesUntilRefreshOrReset() {
    Device(*engines, kEventServerAdded, "uuid:b", "b server");
    Device(*engines, kEventServerAdded, "uuid:a", "A server");
    Device(*engines, kEventServerAdded, "uuid:b", "b server again");
    for (const char* udn : {"uuid:t1", "uuid:t2", "uuid:store"}) Device(*engines, kEventRendererAdded, udn);
    QTRY_COMPARE(Labels(), (QStringList{"A server", "b server again", "Renderer (3)", "Server (2)"}));
    QTreeWidgetItem* store = window->trees().Item(window->trees().RendererId("uuid:store"));
    QTRY_COMPARE(store->childCount(), 1);
    QCOMPARE(store->child(0)->text(0), QString("total=29812MB, free=1024MB"));
    Device(*engines, kEventRendererRemoved, "uuid:t2");
    Device(*engines, kEventServerRemoved, "uuid:a");
    QTRY_COMPARE(Labels(), (QStringList{"b server again", "Renderer (2)", "Server (1)"}));
    QVERIFY(window->trees().RendererId("uuid:t1") && !window->trees().RendererId("uuid:t2"));
    QCOMPARE(window->trees().Item(window->trees().RendererId("uuid:t1"))->childCount(), 0);

    window->RefreshServers();
    QCOMPARE(Labels(), (QStringList{"Renderer (2)", "Server (0)"}));
    QTRY_COMPARE(engines->Calls("Refresh"), QStringList{"Refresh 1"});
    void* before = engines->context;
    window->Reset();
    QCOMPARE(Labels(), (QStringList{"Renderer (0)", "Server (0)"}));
    QTRY_COMPARE(engines->Calls("StartControlPoint").size(), 2);
    QCOMPARE(engines->Calls("Stop"), QStringList{"Stop"});
    Device(*engines, kEventServerAdded, "uuid:stale", "Stale", before);  // reported before the restart
    Device(*engines, kEventServerAdded, "uuid:fresh", "Fresh");
    QTRY_COMPARE(Labels(), (QStringList{"Fresh", "Renderer (0)", "Server (1)"}));
  }

  void contentIsReadAheadAndPlaysOnItsRenderer() {
    for (const char* udn : {"uuid:tv", "uuid:radio"}) Device(*engines, kEventRendererAdded, udn);
    Device(*engines, kEventServerAdded, "uuid:lib");
    QTRY_VERIFY(Find("Top song"));
    QTreeWidgetItem* server = window->serverTree()->topLevelItem(0);
    QCOMPARE(engines->Calls("Browse uuid:lib Box").size(), 0);
    window->serverTree()->expandItem(server);  // its containers are read now, once only
    QTRY_VERIFY(Find("b item"));
    QCOMPARE(Find("Box")->child(0)->text(0), QString("a item"));
    window->serverTree()->collapseItem(server);
    window->serverTree()->expandItem(server);
    window->serverTree()->expandItem(Find("Box"));
    QVERIFY(window->network()->waitForDone(10000));
    QCOMPARE(engines->Calls("Browse").size(), 3);

    window->PlayItem(Find("Box"));
    window->PlayItem(server);
    window->rendererTree()->setCurrentItem(window->trees().Item(window->trees().RendererId("uuid:tv")));
    window->PlayItem(Find("Top song"));
    QTRY_VERIFY(window->player() && window->player()->isVisible());
    QCOMPARE(engines->Calls("StartR"), QStringList{"StartRendering uuid:tv uuid:lib http://x/top.mp3 Top song"});
    TransportStateChanged otherEnd{7, "uuid:radio"}, end{7, "uuid:tv"};
    engines->Report(kEventTransportState, &otherEnd);
    Device(*engines, kEventRendererRemoved, "uuid:radio");
    QTRY_COMPARE(window->rendererTree()->topLevelItemCount(), 1);
    QVERIFY(window->player() && window->player()->isVisible());
    engines->Report(kEventTransportState, &end);
    QTRY_VERIFY(!window->player());
    QTRY_COMPARE(engines->Calls("StopRendering"), QStringList{"StopRendering uuid:tv"});
  }

  // The player shows what plays as the server named it, and its cover when
  // the server that serves the song has one; a cover elsewhere is not asked
  // for, and one that fails or never comes leaves the placeholder.
  void playerShowsTitleArtistAndCover() {
    Device(*engines, kEventRendererAdded, "uuid:tv");
    Device(*engines, kEventServerAdded, "uuid:lib");
    QTRY_VERIFY(Find("Cover none"));
    auto label = [&](const char* name) { return window->player()->findChild<QLabel*>(name); };
    auto play = [&](const char* title) {
      CPlayerDlg* before = window->player();
      window->PlayItem(Find(title));
      QTRY_VERIFY(window->player() && window->player() != before && window->player()->isVisible());
    };
    // The placeholder is never red.
    auto red = [&] {
      const QImage cover = label("cover")->pixmap().toImage();
      return cover.pixelColor(cover.width() / 2, cover.height() / 2) == QColor(Qt::red);
    };
    play("Top song");
    QCOMPARE(label("itemTitle")->text(), QString("Top song"));
    QCOMPARE(label("artist")->text(), QString("The <b>Band</b>"));
    QCOMPARE(label("album")->text(), QString("Blue & 'Green'"));
    QTRY_VERIFY(red());

    for (const char* title : {"Cover http://elsewhere/cover.png", "Cover http://x/garbage", "Cover none"}) {
      play(title);
      QVERIFY(window->network()->waitForDone(10000));
      QCoreApplication::processEvents();
      QVERIFY(!red() && !label("cover")->pixmap().isNull());
      QVERIFY(label("itemTitle")->isVisibleTo(window->player()) && !label("artist")->isVisibleTo(window->player()) &&
              !label("album")->isVisibleTo(window->player()));
    }
    QCOMPARE(engines->Calls("FetchCover"),
             (QStringList{"FetchCover http://x/cover.png", "FetchCover http://x/garbage"}));
    // A cover that never comes holds up neither the player nor the window's end.
    play("Cover http://x/hang");
    QTRY_COMPARE(engines->Calls("FetchCover").size(), 3);
    QVERIFY(window->player()->isVisible());
    window.reset();
  }

  void iconMenuByOptionAndLanguage() {
    QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
    QVERIFY(window->isVisible());  // shown anyway, with or without the option
    QCOMPARE(Menu(window->TrayMenu()), (QStringList{"Reset", "Setting", "Quit"}));
    COrlinDlg shown(engines, true);
    shown.Initialise();
    QTranslator chinese;
    QVERIFY(chinese.load(QLocale(QLocale::Chinese, QLocale::China), "tovaly", "_", ":/i18n"));
    QCoreApplication::installTranslator(&chinese);
    QCOMPARE(Menu(shown.TrayMenu()), (QStringList{"隐藏主窗口", "重启服务", "设置", "退出"}));
    shown.hide();
    QCOMPARE(Menu(shown.TrayMenu()).first(), QString("显示主窗口"));
    QCoreApplication::removeTranslator(&chinese);
  }

 private:
  // The servers in tree order, then the count labels.
  QStringList Labels() const {
    QStringList out;
    for (QLabel* l : window->findChildren<QLabel*>())
      if (l->text().startsWith("Server") || l->text().startsWith("Renderer")) out << l->text();
    out.sort();
    for (int i = window->serverTree()->topLevelItemCount() - 1; i >= 0; --i)
      out.prepend(window->serverTree()->topLevelItem(i)->text(0));
    return out;
  }
  QTreeWidgetItem* Find(const QString& text) const {
    const auto found = window->serverTree()->findItems(text, Qt::MatchExactly | Qt::MatchRecursive);
    return found.isEmpty() ? nullptr : found.first();
  }
  static QStringList Menu(QMenu* menu) {
    QStringList out;
    for (QAction* a : menu->actions()) out << a->text();
    return out;
  }

  std::shared_ptr<ScriptedEngines> engines;
  std::unique_ptr<COrlinDlg> window;
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"