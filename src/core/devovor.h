// devovor: the one core object. It owns every subsystem, wires them
// together and runs the start and stop sequence; the subsystems do the work.
//
// Lifecycle (main thread): construct -> Initialize -> Start -> destroy.
// Exactly one instance exists at a time; it is reachable from plugins only
// through PluginEventCallback (events/callback.h), which is connected at the
// end of construction and disconnected at the start of destruction.
//
// Threads: the main thread runs the constructor, Initialize, Start (and in
// it the delivery loop) and the destructor. The I/O thread runs the I/O
// context from Start step 6 to step 19. The hang watch's thread
// (monitor/hang_watch.h) runs from the start of Start to its end, before
// the first Load and after the last Unload. PluginEvent, RequestStop and
// WriteConsole may be called from any thread that holds none of the core's
// locks.
//
// Locks: their order is stated once, in events/event_router.h. No lock of
// the core is held while a plugin entry point runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include "core/parent_identity.h"
#include "events/callback.h"
#include "events/event_router.h"
#include "ipc/parent_channel.h"
#include "monitor/hang_watch.h"
#include "monitor/memory_monitor.h"
#include "log/console.h"
#include "log/levels.h"
#include "log/name_registry.h"
#include "platform/platform.h"
#include "plugin_api/event.h"
#include "plugins/plugin_host.h"
#include "plugins/plugin_list.h"

namespace dv::test {
class DevovorPeer;
}

// Not a base class: its seams are the Platform and the hooks it binds.
class devovor final {
 public:
  // The built-in version of the core.
  static const char* BuiltInVersion() { return "21.09.7.0"; }

  explicit devovor(std::string executablePath,
                   const dv::Platform& platform = dv::Platform::Default());
  devovor(const devovor&) = delete;
  devovor& operator=(const devovor&) = delete;
  ~devovor();

  // Registers the core's name, tightens the file-creation mask, opens the
  // parent channel on `descriptor` (-1: none; close-on-exec from then on)
  // and drops to the parent's account (core/privileges.h). Returns false
  // when the core cannot run (its message is already logged).
  bool Initialize(int descriptor);
  // Runs the core until it has stopped; returns after plugins are unloaded.
  // Once plugins are open, every thread of the process is narrowed to
  // CAP_NET_ADMIN and CAP_NET_RAW (unless the core runs as root). From
  // Start on, SIGINT, SIGTERM and SIGQUIT never take their default action:
  // the first stops the core, and after Start they are ignored for good.
  void Start();
  // Asks the delivery loop to drain and return, and ends the start-up wait
  // for the parent's identity. Any thread, any time.
  void RequestStop();
  // The single event entry. Always returns 0; the outcome is in out->result.
  int PluginEvent(_EventParmsIn* in, _EventParmsOut* out);

 private:
  friend class dv::test::DevovorPeer;  // tests reach the subsystems through it

  // What the hooks of the subsystems are bound to.
  // Current steady-clock time point in nanoseconds.
  int64_t Now();
  // Raises the Memory notification with the current throttling state.
  void PublishMemoryState();
  // Writes one log line to the console (and level 100 to the system log).
  void WriteConsole(uint32_t providerId, uint32_t level, const char* text, uint32_t maxLen);
  // From the parent channel (I/O thread): the identity packet's fields
  // (file name, version, "Background:true"); ends the start-up wait.
  void SetParentIdentity(const std::vector<std::string>& fields);

  // Saves the status report to core.xml and raises it for the plugins.
  // Main thread during Start, I/O thread afterwards.
  void WriteStatusReport();
  // The I/O thread's body: runs the I/O context until it is stopped. An
  // exception out of it ends the process through std::terminate, after one
  // level-100 line naming it.
  void RunIoThread();
  void NarrowCapabilities();
  void DestroySignalSet(std::unique_ptr<boost::asio::signal_set> signals);
  void LingerOneMinute();
  void PostConfigurationUpdate(std::string text);

  const dv::Platform& platform_;

  // Members in the order of the core's data model; destroyed in reverse.
  dv::PluginList plugins_;
  dv::NameRegistry names_;
  dv::PluginHost host_;  // holds the failed plugin table
  boost::asio::io_context io_;
  boost::asio::steady_timer monitorTimer_;
  dv::ParentChannel parent_;  // the socket, the outgoing queue, the buffer
  dv::EventRouter router_;
  const std::string executablePath_;
  std::string productFamily_ = "Vantora";
  std::string coreVersion_;
  dv::ParentIdentity parentIdentity_;  // the parent's file name and version
  std::atomic<bool> linger_{false};
  std::atomic<bool> throttlingEnabled_{true};
  std::atomic<bool> throttling_{false};
  dv::LogLevelTable logLevel_;
  dv::LogLevelTable logLevelDefault_;
  dv::MemoryMonitor monitor_;  // holds the throttled-since time
  dv::HangWatch hangWatch_;    // the main thread's calls into plugins, during Start

  dv::ConsoleWriter console_;
  // PluginEventCallback's way in, attached while the core exists.
  const dv::EventEntry entry_{
      [](void* core, _EventParmsIn* in, _EventParmsOut* out) {
        static_cast<devovor*>(core)->PluginEvent(in, out);
      },
      this};
};
