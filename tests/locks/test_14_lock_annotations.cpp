// The lock annotations have teeth: clang, with the options of the
// thread-safety build (DV_THREAD_SAFETY), must refuse each fault below and
// accept the file without one. CTest compiles it once per DV_FAULT_* case
// (tests/CMakeLists.txt). Should a macro compile to nothing under clang, or
// a lock type lose its annotation, the thread-safety build would pass
// whatever the code does; these cases fail instead.
#include <map>
#include <memory>

#include "platform/mutex.h"

namespace {

// An outer lock over a table of entries, each with its own mutex taken
// after the outer one: the shape of the core's request threads.
class Table {
 public:
  struct Entry {
    dv::Mutex mu;
    dv::CondVar changed;
    int value GUARDED_BY(mu) = 0;
  };

  void Set(int key, int value) {
#if defined(DV_FAULT_UNGUARDED)
    entries_[key]->value = value;  // neither lock held
#elif defined(DV_FAULT_ORDER)
    Entry* entry = Find(key);
    dv::MutexLock entryLock(entry->mu);
    dv::MutexLock lock(mu_);  // the outer lock after the entry's
    entry->value = value;
#else
    dv::MutexLock lock(mu_);
    Entry& entry = *entries_[key];
    dv::MutexLock entryLock(entry.mu);
    entry.value = value;
    entry.changed.NotifyAll();
#endif
  }

  void WaitForZero(Entry& entry) {
#if defined(DV_FAULT_WAIT_UNLOCKED)
    entry.changed.Wait(entry.mu);  // waits on a mutex it does not hold
#else
    dv::MutexLock lock(entry.mu);
    while (entry.value != 0) entry.changed.Wait(entry.mu);
#endif
  }

  Entry* Find(int key) {
    dv::MutexLock lock(mu_);
    return entries_[key].get();
  }

 private:
  dv::Mutex mu_ ACQUIRED_BEFORE(Entry::mu);
  std::map<int, std::unique_ptr<Entry>> entries_ GUARDED_BY(mu_);
};

class Names {
 public:
  void Rename() {
#if defined(DV_FAULT_WRITE_SHARED)
    dv::ReaderLock lock(mu_);  // a reader's lock for a write
#else
    dv::WriterLock lock(mu_);
#endif
    ++version_;
  }
  int version() {
    dv::ReaderLock lock(mu_);
    return version_;
  }

 private:
  dv::SharedMutex mu_;
  int version_ GUARDED_BY(mu_) = 0;
};

}  // namespace

int main() {
  Table table;
  table.Set(1, 0);
  table.WaitForZero(*table.Find(1));
  Names names;
  names.Rename();
  return names.version() == 1 ? 0 : 1;
}
