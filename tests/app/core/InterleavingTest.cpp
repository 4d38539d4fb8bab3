// Random interleavings of what a person, other programs and the system do, against the link
// controller and the reader simulator answering at once, late, never, with another command's
// answer or with a refusal. After every step the controller's promises are checked. Seeded: a
// failure prints its seed, and BRISK_INTERLEAVING_SEED replays it (BRISK_INTERLEAVING_SEQUENCES:
// how many).
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QElapsedTimer>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <set>

#include "app/core/DBusControl.h"
#include "app/core/LinkController.h"
#include "app/core/LogindSleep.h"
#include "link/Brisk7Service.h"
#include "sim/reader/ReaderSim.h"
#include "tests/app/AppTestSupport.h"
#include "tests/platform/devices/ReaderTestbed.h"
#include "tests/support/TestSupport.h"

#ifdef BRISK_INTERLEAVING_WINDOW
#include <QAbstractButton>
#include <QLabel>

#include "app/Brisk7ServerDlg.h"
#endif

namespace brisk::test {

// What another program sees of the properties: the values at the start and every change
// announced since.
class AnnouncedProperties : public QObject {
  Q_OBJECT
 public:
  QVariantMap seen;
 public slots:
  void OnChanged(const QString&, const QVariantMap& values, const QStringList&) {
    for (auto it = values.cbegin(); it != values.cend(); ++it) seen.insert(it.key(), it.value());
  }
};

namespace {

using app::LinkController;

enum class Reply { AtOnce, Late, Never, OtherType, Refuse };

// How the simulated reader answers each command code now, and which modes it acknowledged.
struct ReaderMood {
  std::mutex lock;
  std::map<uint8_t, Reply> replies;
  std::set<int> acknowledgedModes;
  bool Hook(sim::ReaderSim& reader, const sim::Frame& frame) {
    Reply reply;
    {
      std::lock_guard<std::mutex> guard(lock);
      reply = replies.count(frame.type) ? replies[frame.type] : Reply::AtOnce;
      if (frame.type == 2 && !frame.payload.empty() &&
          (reply == Reply::AtOnce || reply == Reply::Late))
        acknowledgedModes.insert(frame.payload[0]);
    }
    if (reply == Reply::Never) return true;
    // In its place the answer of another command, as a late one would look: this one is lost.
    if (reply == Reply::OtherType) {
      reader.SendFrame(frame.type == 9 ? 12 : 9, {0, 1, 2});
      return true;
    }
    if (reply == Reply::Late) std::this_thread::sleep_for(std::chrono::milliseconds(150));
    // A refusal where the answer is a result byte; the built-in answer elsewhere.
    if (reply == Reply::Refuse && (frame.type == 2 || frame.type == 8 || frame.type == 16)) {
      reader.SendFrame(frame.type, {1});
      return true;
    }
    return false;
  }
};

class Interleaving {
 public:
  Interleaving(uint32_t seed, ReaderTestbed& tb, int& acm) : m_random(seed), m_tb(tb), m_acm(acm) {}

  // Runs one sequence; false with a description on the first broken promise.
  bool Run(std::string* failure) {
    Plug();
    LinkController::Options options;
    options.trayWaitMs = 0;
    options.watchDevices = false;
    options.watchSleep = true;
    m_c = std::make_unique<LinkController>(m_prompt, options);
    QObject::connect(m_c.get(), &LinkController::quitRequested, [this] { m_quit = true; });
    m_prompt.answerYes = Chance(2);
    auto* control = new app::DBusControl(*m_c);
    control->Register();
    m_announced.seen = Properties(*control);
    QDBusConnection client = QDBusConnection::connectToBus(
        QString::fromLocal8Bit(getenv("DBUS_SESSION_BUS_ADDRESS")), QStringLiteral("client"));
    client.connect(app::kBusName, app::kObjectPath,
                   QStringLiteral("org.freedesktop.DBus.Properties"),
                   QStringLiteral("PropertiesChanged"), &m_announced,
                   SLOT(OnChanged(QString, QVariantMap, QStringList)));
    m_control = control;
#ifdef BRISK_INTERLEAVING_WINDOW
    m_window = std::make_unique<app::CBrisk7ServerDlg>(*m_c, m_prompt, options);
    m_window->OnInitDialog();
#else
    m_c->OnInitDialog();
#endif
    m_mayLink = true;
    const int steps = 6 + Pick(10);
    for (int i = 0; i < steps && failure->empty(); ++i) {
      Step(failure);
      Check(failure);
    }
    // Every change of a property but the counters is announced within one status refresh.
    if (failure->empty() && WaitFor([&] { return !m_c->CommandBusy(); }, 3000)) {
      const auto announced = [&] {
        const QVariantMap now = Properties(*m_control);
        for (const char* name : {"ServiceEnabled", "LinkUp", "PortLine", "NetMode"})
          if (m_announced.seen.value(QString::fromLatin1(name)) != now.value(name)) return false;
        return true;
      };
      if (!WaitFor(announced, 1100)) *failure = "a property change was not announced";
    }
    QDBusConnection::sessionBus().unregisterObject(app::kObjectPath);
    QDBusConnection::disconnectFromBus(QStringLiteral("client"));
    // The end: the exit, which goes ahead of whatever still waits; nothing reaches the reader
    // after it.
    if (!m_exitAsked) Exit();
    WaitFor([&] { return m_quit; }, 15000);
    if (failure->empty() && !m_quit) *failure = "the exit never ended";
    const size_t frames = m_reader->Received().size();
    m_c->OnSwitchOn();
    m_c->OnServiceControl(0, 0, [](int) {});
    m_c->OnResume();
    WaitFor([&] { return !m_c->CommandBusy(); }, 5000);
    if (failure->empty() && m_reader->Received().size() != frames)
      *failure = "a frame reached the reader after the exit";
    // Owed unless the reader went away in the meantime.
    if (failure->empty() && m_exitNoticeOwed && !m_unplugs && !LastFrameIsNotice())
      *failure = "no disconnect notice at the exit";
#ifdef BRISK_INTERLEAVING_WINDOW
    m_window.reset();
#endif
    m_c.reset();
    Unplug();
    return failure->empty();
  }

 private:
  static QVariantMap Properties(const app::DBusControl& control) {
    QVariantMap values;
    for (const char* name : {"ServiceEnabled", "LinkUp", "PortLine", "NetMode"})
      values.insert(QString::fromLatin1(name), control.property(name));
    return values;
  }

  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(m_random); }
  bool Chance(int oneIn) { return Pick(oneIn) == 0; }

  void Plug() {
    m_usb = m_tb.AddUsbSerial("1-" + std::to_string(m_acm + 1), "0425", "8159", m_acm);
    m_reader = sim::ReaderSim::Attach(m_tb.MasterFd(m_acm));
    ++m_acm;
    m_reader->SetFrameHook(
        [this](sim::ReaderSim& r, const sim::Frame& f) { return m_mood.Hook(r, f); });
    m_plugged = true;
  }
  void Unplug() {
    if (!m_plugged) return;
    m_reader->Unplug();
    m_tb.Remove(m_usb);
    m_plugged = false;
    m_unplugs = true;
  }

  // The port's last words were the disconnect notice.
  bool LastFrameIsNotice() {
    const std::vector<sim::Frame> frames = m_reader->Received();
    return !frames.empty() && frames.back().type == 5;
  }

  void Exit() {
    m_exitAsked = true;
    // The notice is owed unless the reader is gone or the person keeps it reading. (The port
    // itself is the command thread's: the relay, an atomic, tells that it is open.)
    m_exitNoticeOwed = m_c->Service().IsRelayRunning() && !m_unplugs && !m_prompt.answerYes;
    if (Chance(2))
      m_c->OnExitCommand();
    else
      m_c->OnTerminate();
  }

  void Step(std::string* failure) {
    {
      std::lock_guard<std::mutex> guard(m_mood.lock);
      for (uint8_t code : {1, 2, 3, 5, 7, 8, 9, 12, 16, 17}) {
        const int r = Pick(22);
        m_mood.replies[code] = r < 12   ? Reply::AtOnce
                               : r < 16 ? Reply::Late
                               : r < 18 ? Reply::OtherType
                               : r < 21 ? Reply::Refuse
                                        : Reply::Never;
      }
    }
    const auto any = [](int) {};
    int action = Pick(18);
    // Asleep, nobody clicks and nothing calls: the machine wakes, or time passes.
    if (m_sleeping && action != 12 && action < 16) action = 12;
    if (std::getenv("BRISK_INTERLEAVING_TRACE"))
      std::fprintf(stderr, "step %d linkUp=%d enabled=%d\n", action, m_c->LinkUp(),
                   m_c->ServiceEnabled());
    switch (action) {
      case 0:
        m_c->OnSwitchOn();
        m_mayLink = true;
        break;
      case 1:
        m_c->OnSwitchOff();
        m_mayLink = false;
        break;
      case 2:
        m_c->OnChangePort(Pick(3));
        m_mayLink = m_mayLink || m_c->ServiceEnabled();
        break;
      case 3:
        m_c->OnSwitchNetMode(Pick(3));
        break;
      case 4:
        m_c->SetNetModeChoice(Pick(3));
        break;
      case 5:
        m_c->OnChangePlatform(0, 1, QStringLiteral("8080"), QStringLiteral("127.0.0.1"));
        break;
      case 6:
        m_c->OnChangeHeartbeat(60 + Pick(541), 60 + Pick(541));
        break;
      case 7:
        Chance(2) ? m_c->OnQueryAuth() : m_c->OnNetworkTest();
        break;
      case 8: {
        const int op = Pick(4);
        if (op == 0) m_mayLink = true;
        if (op == 1) m_mayLink = false;
        m_c->OnServiceControl(op, Pick(4), any);
        break;
      }
      case 9: {
        const bool on = Chance(2);
        m_c->SetServiceEnabled(on);
        m_mayLink = on;
        break;
      }
      case 10:
        emit m_c->showRequested(QString());
        break;
      case 11:
        if (!m_sleeping) {
          m_sleeping = true;
          m_sleepNoticeOwed = m_c->Service().IsRelayRunning() && !m_unplugs;
          m_c->OnSuspend();
          m_mayLink = false;
        }
        break;
      case 12:
        if (m_sleeping) {
          // The reader has had its notice before the machine went to sleep.
          WaitFor([&] { return !m_c->SleepWatcher()->LockWanted(); }, 15000);
          if (m_sleepNoticeOwed && !LastFrameIsNotice())
            *failure = "no disconnect notice before sleep";
          m_sleeping = false;
          m_c->OnResume();
        }
        break;
      case 13:
        Unplug();
        m_c->OnDeviceChange("DBT_DEVICEREMOVECOMPLETE");
        break;
      case 14:
        if (!m_plugged) {
          Plug();
          m_c->OnDeviceChange("DBT_DEVICEARRIVAL");
          m_mayLink = m_mayLink || m_c->ServiceEnabled();
        }
        break;
      case 15:
        if (!m_exitAsked && Chance(3)) Exit();
        break;
      default: {
        QElapsedTimer wait;
        wait.start();
        const int ms = Pick(150);
        while (wait.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        break;
      }
    }
  }

  void Check(std::string* failure) {
    if (!failure->empty()) return;
    const int saved = m_c->Settings().m_savedNetMode;
    if (saved != m_savedBefore) {
      std::lock_guard<std::mutex> guard(m_mood.lock);
      const std::set<int>& acked = m_mood.acknowledgedModes;
      const bool ok = saved == 0 ? !acked.empty() : acked.count(saved) > 0;
      if (!ok) *failure = "stored mode " + std::to_string(saved) + " was never acknowledged";
      m_savedBefore = saved;
    }
    const bool closing = m_c->State().exiting;
    if (m_c->ServiceEnabled() && !m_sleeping && !closing && !m_c->SleepWatcher()->LockWanted())
      *failure = "the service is on without the sleep lock";
    // After a stop only a new start links, or the watchdog while the switch is on.
    if (m_c->LinkUp() && !m_mayLink && !m_c->ServiceEnabled())
      *failure = "a link came up after a stop with no new start";
#ifdef BRISK_INTERLEAVING_WINDOW
    // The controls show the controller's state.
    const auto* start = m_window->findChild<QAbstractButton*>(QStringLiteral("startButton"));
    const auto* line = m_window->findChild<QLabel*>(QStringLiteral("portLine"));
    const bool running = m_c->ServiceEnabled() || m_c->LinkUp();
    if (start->isEnabled() == running) *failure = "the start button does not show the switch";
    if (line->text() != m_c->State().portLine) *failure = "the port line is not the controller's";
#endif
    // Nothing links while the machine sleeps: the watchdog waits for the resume.
    if (m_sleeping && m_c->LinkUp()) *failure = "a link came up during sleep";
  }

  std::mt19937 m_random;
  ReaderTestbed& m_tb;
  int& m_acm;
  ReaderMood m_mood;
  RecordingPrompt m_prompt;
  std::unique_ptr<sim::ReaderSim> m_reader;
  std::unique_ptr<LinkController> m_c;
  app::DBusControl* m_control = nullptr;  // the controller's
#ifdef BRISK_INTERLEAVING_WINDOW
  std::unique_ptr<app::CBrisk7ServerDlg> m_window;
#endif
  AnnouncedProperties m_announced;
  std::string m_usb;
  bool m_plugged = false;
  bool m_unplugs = false;
  bool m_sleeping = false;
  bool m_sleepNoticeOwed = false;
  bool m_exitAsked = false;
  bool m_exitNoticeOwed = false;
  bool m_quit = false;
  bool m_mayLink = true;
  int m_savedBefore = 0;
};

void RunSequences(int shard) {
  TempDir config;
  ScopedTmpdir tmp;
  setenv("XDG_CONFIG_HOME", config.Path().c_str(), 1);
  ReaderTestbed tb;
  // A reader that never answers costs a quarter of the 2 s and 5 s waits; a late answer
  // (150 ms) still comes within them.
  link::ScaleAnswerWaitsForTest(25);
  // Announcements come from the program's bus name, as they do from the program.
  QDBusConnection::sessionBus().registerService(QString::fromLatin1(app::kBusName));
  const char* count = std::getenv("BRISK_INTERLEAVING_SEQUENCES");
  const char* fixed = std::getenv("BRISK_INTERLEAVING_SEED");
  // 200 in all, in eight shards that run side by side; 20 more with the window.
#ifdef BRISK_INTERLEAVING_WINDOW
  const int share = 20;
#else
  const int share = 25;
#endif
  const int sequences = fixed ? (shard == 0 ? 1 : 0) : count ? std::atoi(count) : share;
  const uint32_t first = fixed ? static_cast<uint32_t>(std::strtoul(fixed, nullptr, 10))
                               : static_cast<uint32_t>(std::random_device()());
  int acm = 0;
  for (int i = 0; i < sequences; ++i) {
    const uint32_t seed = first + static_cast<uint32_t>(i);
    std::filesystem::create_directories(config.Path() + "/BriskNetService");
    std::ofstream(config.Path() + "/BriskNetService/setting.ini") << "[Set]\nLog=0\n";
    Interleaving run(seed, tb, acm);
    std::string failure;
    ASSERT_TRUE(run.Run(&failure))
        << failure << " (replay: BRISK_INTERLEAVING_SEED=" << seed << ")";
  }
}

#ifdef BRISK_INTERLEAVING_WINDOW
TEST(Interleaving, WithTheWindowItsControlsShowTheControllersState) { RunSequences(0); }
#else
TEST(Interleaving, RandomSequencesKeepTheControllersPromises1) { RunSequences(0); }
TEST(Interleaving, RandomSequencesKeepTheControllersPromises2) { RunSequences(1); }
TEST(Interleaving, RandomSequencesKeepTheControllersPromises3) { RunSequences(2); }
TEST(Interleaving, RandomSequencesKeepTheControllersPromises4) { RunSequences(3); }
TEST(Interleaving, RandomSequencesKeepTheControllersPromises5) { RunSequences(4); }
TEST(Interleaving, RandomSequencesKeepTheControllersPromises6) { RunSequences(5); }
TEST(Interleaving, RandomSequencesKeepTheControllersPromises7) { RunSequences(6); }
TEST(Interleaving, RandomSequencesKeepTheControllersPromises8) { RunSequences(7); }
#endif

}  // namespace
}  // namespace brisk::test

#include "InterleavingTest.moc"
