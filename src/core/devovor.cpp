#include "core/devovor.h"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/signal_set.hpp>

#include "events/callback.h"
#include "log/log.h"

namespace {

constexpr auto kMonitorPeriod = std::chrono::milliseconds(100);

void LogCore(int level, const char* format, const std::string& arg) {
  dv::LogMessage(dv::kCoreId, PluginEventCallback, level, format, arg.c_str());
}

}  // namespace

devovor::devovor(std::string executablePath, const dv::Platform& platform)
    : platform_(platform),
      host_(*this, plugins_, names_, logLevel_, logLevelDefault_),
      io_(),
      monitorTimer_(io_, kMonitorPeriod),
      router_(*this, logLevel_, plugins_, throttling_),
      executablePath_(std::move(executablePath)),
      console_(names_, platform) {
  dv::AttachCore(this);
}

devovor::~devovor() {
  // The leak report is logged while every member is still alive; after
  // that nothing may reach the core any more.
  router_.ReportLeakedBlocks();
  dv::DetachCore();
}

int64_t devovor::Now() { return platform_.SteadyNowNs(); }

void devovor::WriteConsole(uint32_t providerId, uint32_t level, const char* text,
                           uint32_t maxLen) {
  console_.Write(providerId, level, text, maxLen);
}

bool devovor::Initialize(int /*descriptor*/) {
  names_.Insert(dv::kCoreId, "core");
  umask(077);
  return true;
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
  boost::asio::signal_set signals(io_);
  signals.add(SIGINT);
  signals.add(SIGTERM);
  signals.add(SIGQUIT);
  signals.async_wait([this](const boost::system::error_code&, int) { RequestStop(); });

  host_.LoadPhase();

  auto work = boost::asio::make_work_guard(io_);
  std::thread ioThread([this] { RunIoThread(); });

  host_.OpenPhase();
  host_.StartAsyncReaders();
  LogCore(25, "successfully started core version %s", coreVersion_);
  router_.RunEventLoop();
  LogCore(25, "stopping core version %s...", coreVersion_);

  monitorTimer_.cancel();
  if (linger_.load()) LingerOneMinute();
  host_.ClosePhase();

  io_.stop();
  ioThread.join();
  host_.UnloadPhase();
}

void devovor::RunIoThread() { io_.run(); }

// Sleeps a full minute; a signal that interrupts the sleep does not
// shorten it.
void devovor::LingerOneMinute() {
  struct timespec remaining = {60, 0};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}
