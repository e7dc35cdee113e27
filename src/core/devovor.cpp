#include "core/devovor.h"

#include <sys/stat.h>
#include <unistd.h>

#include <pthread.h>

#include <cerrno>
#include <csignal>
#include <memory>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <future>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/filesystem/path.hpp>

#include <boost/asio/post.hpp>
#include <tinyxml.h>

#include "config/configuration.h"
#include "core/privileges.h"
#include "config/status_report.h"
#include "events/callback.h"
#include "config/xml_event.h"
#include "log/log.h"

namespace {

constexpr auto kMonitorPeriod = std::chrono::milliseconds(100);
constexpr auto kParentIdentityWait = std::chrono::seconds(10);
constexpr int64_t kLingerNs = 60'000'000'000;
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGQUIT};

void LogCore(int level, const char* format, const std::string& arg) {
  dv::LogCore(level, format, arg.c_str());
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
               [this](std::string text) { PostConfigurationUpdate(std::move(text)); }},
              logLevel_, plugins_, throttling_),
      executablePath_(std::move(executablePath)),
      monitor_({[this] { return Now(); }, [this] { PublishMemoryState(); }}, monitorTimer_,
               platform, throttlingEnabled_, throttling_),
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
  {
    // The parent channel stores both strings under the queue lock, so one
    // copy under it never mixes two identity packets.
    dv::MutexLock lock(router_.queue().mutex());
    figures.parentFileName = parentFileName_;
    figures.parentVersion = parentVersion_;
  }
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

bool devovor::Initialize(int descriptor) {
  names_.Insert(DV_CORE_ID, "core");
  umask(077);
  if (!dv::DropToParentAccount()) return false;
  return descriptor == -1 || parent_.Open(descriptor);
}

// Narrows the main thread and the I/O thread, whose job runs before this
// returns, so that every thread started from here on inherits the sets.
void devovor::NarrowCapabilities() {
  if (getuid() == 0) return;
  dv::SetCapabilities(dv::kCapsWhenRunning);
  std::promise<void> narrowed;
  boost::asio::post(io_, [&narrowed] {
    dv::SetCapabilities(dv::kCapsWhenRunning, dv::kSilent);  // the main thread said it
    narrowed.set_value();
  });
  narrowed.get_future().wait();
}

void devovor::SetParentIdentity(const std::vector<std::string>& fields) {
  dv::MutexLock lock(router_.queue().mutex());
  if (fields.size() >= 1) parentFileName_ = fields[0];
  if (fields.size() >= 2) parentVersion_ = fields[1];
  if (fields.size() >= 3) console_.SetBackground(fields[2] == "Background:true");
  parentIdentified_ = true;
  router_.queue().Notify();
}

std::string devovor::parentFileName() {
  dv::MutexLock lock(router_.queue().mutex());
  return parentFileName_;
}

std::string devovor::parentVersion() {
  dv::MutexLock lock(router_.queue().mutex());
  return parentVersion_;
}

void devovor::WaitForParentIdentity() {
  const auto deadline = std::chrono::steady_clock::now() + kParentIdentityWait;
  dv::MutexLock lock(router_.queue().mutex());
  while (!parentIdentified_ && !router_.queue().stopRequested()) {
    if (!router_.queue().WaitLocked(deadline)) return;
  }
}

void devovor::RequestStop() { router_.queue().RequestStop(); }

int devovor::PluginEvent(_EventParmsIn* in, _EventParmsOut* out) {
  router_.Handle(in, out);
  return 0;
}

void devovor::Start() {
  coreVersion_ = BuiltInVersion();
  plugins_.Clear();

  // Only the first signal stops the core; later ones are absorbed for as
  // long as the set exists, so a second Ctrl-C cannot cut the stop short.
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
  if (parent_.IsOpen()) {
    WaitForParentIdentity();
  }

  host_.OpenPhase();
  NarrowCapabilities();
  host_.StartAsyncReaders();
  monitor_.Begin();
  WriteStatusReport();
  LogCore(25, "successfully started core version %s", coreVersion_);
  router_.RunEventLoop();
  LogCore(25, "stopping core version %s...", coreVersion_);

  monitor_.Stop();
  if (linger_.load()) LingerOneMinute();
  host_.ClosePhase();

  parent_.StopSending();
  io_.stop();
  ioThread.join();
  parent_.FreeQueuedBlocks();
  host_.UnloadPhase();
  DestroySignalSet(std::move(signals));
}

// Removing the set restores the default actions, which would let a late
// signal kill a core that has already stopped in good order: the signals
// are held back while the set goes, then ignored for the rest of the run.
void devovor::DestroySignalSet(std::unique_ptr<boost::asio::signal_set> signals) {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  for (int signal : kStopSignals) sigaddset(&stopSignals, signal);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signals.reset();
  for (int signal : kStopSignals) std::signal(signal, SIG_IGN);
}

void devovor::RunIoThread() { io_.run(); }

// A full minute: a signal does not shorten it.
void devovor::LingerOneMinute() { platform_.SleepFor(kLingerNs); }
