#include "core/devovor.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <exception>
#include <memory>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <iterator>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/filesystem/path.hpp>

#include <boost/asio/post.hpp>
#include <tinyxml.h>

#include "config/configuration.h"
#include "core/privileges.h"
#include "core/trusted_layout.h"
#include "platform/crash_report.h"
#include "platform/thread_capabilities.h"
#include "config/status_report.h"
#include "events/callback.h"
#include "config/xml_event.h"
#include "log/log.h"

namespace {

constexpr auto kMonitorPeriod = std::chrono::milliseconds(100);
constexpr auto kParentIdentityWait = std::chrono::seconds(10);
constexpr int64_t kLingerNs = 60'000'000'000;
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGQUIT};

// Boost.Asio puts a signal back to its default action when the last
// registration of that signal in the process is removed (signal_set_service
// remove and clear: registration count 1 -> 0). For the stop signals the
// default action ends the process, which a signal landing on any thread
// after a clean stop must not do. So one registration of each is held for
// the rest of the process and never removed: the stop signals go from
// Boost's handler to SIG_IGN and never pass through the default action.
struct StopSignalAnchor {
  boost::asio::io_context context{1};
  boost::asio::signal_set signals{context};
  struct sigaction handled[std::size(kStopSignals)];  // Boost's handler, as installed
};

// Makes Boost's handler the action of every stop signal: through the
// anchor's registrations the first time, as recorded from then on (a later
// Start in the same process finds the signals ignored by the last stop).
void ArmStopSignals() {
  // Never destroyed, on purpose.
  static StopSignalAnchor* const anchor = [] {
    auto* made = new StopSignalAnchor;
    for (size_t i = 0; i < std::size(kStopSignals); ++i) {
      made->signals.add(kStopSignals[i]);
      sigaction(kStopSignals[i], nullptr, &made->handled[i]);
    }
    return made;
  }();
  for (size_t i = 0; i < std::size(kStopSignals); ++i) {
    sigaction(kStopSignals[i], &anchor->handled[i], nullptr);
  }
}

}  // namespace

devovor::devovor(std::string executablePath, const dv::Platform& platform)
    : platform_(platform),
      host_({executablePath, this, PluginEventCallback, [this] { return Now(); }}, plugins_,
            names_, logLevel_, logLevelDefault_),
      io_(),
      monitorTimer_(io_, kMonitorPeriod),
      parent_({[this] { RequestStop(); },
               [this](const std::vector<std::string>& fields) { SetParentIdentity(fields); },
               [this] { linger_.store(true); }},
              io_, plugins_),
      router_({[this] { return Now(); },
               [this](uint32_t providerId, uint32_t level, const char* text, uint32_t maxLen) {
                 WriteConsole(providerId, level, text, maxLen);
               },
               [this](void* block, uint32_t len) { return parent_.Send(block, len); },
               [this](std::string text) { PostConfigurationUpdate(std::move(text)); },
               platform_.PayloadBlocks(),
               [this](bool asleep) { platform_.SetBatchScheduling(asleep); }},
              logLevel_, plugins_, throttling_),
      executablePath_(std::move(executablePath)),
      monitor_({[this] { return Now(); }, [this] { PublishMemoryState(); },
                [] { dv::LookAtNewThreads(); }},
               monitorTimer_, platform, throttlingEnabled_, throttling_),
      hangWatch_({[this] { return Now(); }, [this] { return router_.queuedEvents(); }}),
      console_(names_, platform) {
  dv::AttachEntry(&entry_);
  dv::SetCoreSink(PluginEventCallback);
}

devovor::~devovor() {
  // The leak report is logged while every member is still alive; after
  // that nothing may reach the core any more.
  router_.ReportLeakedBlocks();
  dv::SetCoreSink(nullptr);
  dv::DetachEntry();
}

int64_t devovor::Now() { return platform_.SteadyNowNs(); }

void devovor::PublishMemoryState() {
  const auto notification =
      dv::BuildMemoryNotification(throttling_.load(), platform_.WallNowSeconds());
  dv::RaiseXmlEvent(*notification, DV_EVENT_STATUS);
}

void devovor::WriteStatusReport() {
  dv::StatusFigures figures;
  figures.coreVersion = coreVersion_;
  figures.coreFileName = boost::filesystem::path(executablePath_).filename().string();
  figures.throttlingEnabled = throttlingEnabled_.load();
  figures.plugins = plugins_.snapshot();
  figures.logLevel = &logLevel_;
  figures.logLevelDefault = &logLevelDefault_;
  dv::ParentIdentity::Strings parent = parentIdentity_.Read();
  figures.parentFileName = std::move(parent.fileName);
  figures.parentVersion = std::move(parent.version);
  figures.failedPlugins = host_.failedPlugins();
  figures.productFamily = productFamily_;
  dv::WriteStatusReport(figures, platform_);
}

// Applies an update on the I/O thread, one at a time, and reports it when
// a threshold changed.
void devovor::PostConfigurationUpdate(std::string text) {
  boost::asio::post(io_, [this, text = std::move(text)] {
    if (dv::ApplyConfigurationUpdate(text, logLevel_, logLevelDefault_)) WriteStatusReport();
  });
}

void devovor::WriteConsole(uint32_t providerId, uint32_t level, const char* text,
                           uint32_t maxLen) {
  console_.Write(providerId, level, text, maxLen);
}

// The channel opens first, so that the drop of privileges can tell a
// parent daemon that is PID 1 from init adopting an orphan.
// A set-user-ID core first makes sure that everything it could run is
// root's choice; it then loads only plugin files root alone controls.
bool devovor::Initialize(int descriptor) {
  names_.Insert(DV_CORE_ID, "core");
  umask(077);
  const bool setUserIdStart = dv::IsSetUserIdStart(platform_);
  if (setUserIdStart && !dv::VerifyRootsLayout(executablePath_)) return false;
  if (descriptor != -1 && !parent_.Open(descriptor)) return false;
  if (!dv::DropToParentAccount(descriptor, platform_)) return false;
  if (setUserIdStart) host_.TrustOnlyRootsFiles();
  return true;
}

// Every thread, plugins' own included, is narrowed; threads started from
// here on inherit the narrow sets or narrow themselves. A thread that
// cannot be reached has been reported at level 100; the core goes on.
void devovor::NarrowCapabilities() {
  if (getuid() == 0) return;
  dv::NarrowEveryThread(dv::kCapsWhenRunning);
}

// The background flag is set before the wait ends, so that plugins, which
// open after it, never print to a console the parent has silenced.
void devovor::SetParentIdentity(const std::vector<std::string>& fields) {
  if (fields.size() >= 3) console_.SetBackground(fields[2] == "Background:true");
  parentIdentity_.Store(fields);
}

void devovor::RequestStop() {
  router_.RequestStop();
  parentIdentity_.EndWait();
}

int devovor::PluginEvent(_EventParmsIn* in, _EventParmsOut* out) {
  router_.Handle(in, out);
  return 0;
}

void devovor::Start() {
  dv::InstallCrashReport();
  // From the first Load to the last Unload: the main thread's calls into
  // plugins are named while they hang (monitor/hang_watch.h).
  hangWatch_.Start();
  coreVersion_ = BuiltInVersion();
  plugins_.Clear();

  // Only the first signal stops the core; later ones are absorbed for as
  // long as the set exists, so a second Ctrl-C cannot cut the stop short.
  ArmStopSignals();
  auto signals = std::make_unique<boost::asio::signal_set>(io_);
  for (int signal : kStopSignals) signals->add(signal);
  signals->async_wait([this](const boost::system::error_code&, int) { RequestStop(); });

  dv::LoadConfiguration({&productFamily_, &coreVersion_, &throttlingEnabled_, &logLevel_},
                        platform_);
  host_.LoadPhase();

  parent_.BeginReceiving();
  auto work = boost::asio::make_work_guard(io_);
  std::thread ioThread([this] { RunIoThread(); });
  // Plugins open once the parent has said who it is, the core is asked to
  // stop, or 10 s have passed. An identity that came before the wait began
  // counts too, so a quick parent never costs the full 10 s.
  if (parent_.IsOpen()) parentIdentity_.WaitAtMost(kParentIdentityWait);

  host_.OpenPhase();
  NarrowCapabilities();
  host_.StartAsyncReaders();
  monitor_.Begin();
  WriteStatusReport();
  dv::LogCore(25, "successfully started core version %s", coreVersion_.c_str());
  router_.RunEventLoop();
  dv::LogCore(25, "stopping core version %s...", coreVersion_.c_str());

  monitor_.Stop();
  if (linger_.load()) LingerOneMinute();
  host_.ClosePhase();

  parent_.StopSending();
  io_.stop();
  ioThread.join();
  parent_.FreeQueuedBlocks();
  host_.UnloadPhase();
  hangWatch_.Stop();
  DestroySignalSet(std::move(signals));
}

// Later stop signals are ignored, then the set goes; the anchor's
// registration keeps Boost from restoring the default actions.
void devovor::DestroySignalSet(std::unique_ptr<boost::asio::signal_set> signals) {
  struct sigaction ignore;
  std::memset(&ignore, 0, sizeof ignore);
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  for (int signal : kStopSignals) sigaction(signal, &ignore, nullptr);
  signals.reset();
}

// An exception out of a handler (or out of the context itself) cannot be
// recovered from: the process ends through std::terminate, as it would if
// the exception left the thread, but first says what ended it, on the
// console and in the system log, which std::terminate's own note on
// standard error does not reach. Terminating inside the handler keeps the
// exception current, so that note and the exit status (SIGABRT) stay.
void devovor::RunIoThread() {
  dv::AlternateSignalStack altStack;
  dv::NarrowCallingThread();
  try {
    io_.run();
  } catch (const std::exception& error) {
    dv::LogCore(100, "the I/O thread ended on an exception, ending the core: %s", error.what());
    std::terminate();
  } catch (...) {
    dv::LogCore(100, "the I/O thread ended on an exception of unknown type, ending the core");
    std::terminate();
  }
}

// A full minute: a signal does not shorten it.
void devovor::LingerOneMinute() { platform_.SleepFor(kLingerNs); }
