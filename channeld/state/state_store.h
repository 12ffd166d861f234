// The state directory of kestrel-channeld (--state-dir): what it keeps so
// that a restart loses nothing that clients rely on.
//
//   topology     every channel, admin and proxy, with each proxy's client;
//                rewritten (a new file, then a rename) after every change
//   queued       the events still queued for each consumer at a planned
//                stop; read, and removed, by the next start
//   backlog      how many events each channel holds queued, kept up to date
//                in a shared mapping that outlives a crash of the process,
//                so that the next start can say how many it lost
//   events-N     the event log of channels with EventReliability Persistent
//                (see event_log.h)
//
// Topology writes are grouped: a change asks for a write and, where a client
// waits for the answer, waits until a write that includes it has ended. One
// thread writes, so that a burst of changes costs one write, not one each.
// Nothing here runs on the event path.

#ifndef KESTREL_CHANNELD_STATE_STATE_STORE_H_
#define KESTREL_CHANNELD_STATE_STATE_STORE_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "channeld/state/service_state.h"
#include "channeld/state/state_file.h"

namespace kestrel {
namespace channeld {

class StateStore {
 public:
  using Describe = std::function<std::vector<ChannelState>()>;

  // What the previous run left. Damaged or foreign files have been moved
  // aside; problems says what was dropped, one line each.
  struct Loaded {
    std::vector<ChannelState> channels;
    std::vector<QueuedEvents> queued;
    bool stoppedCleanly = false;  // the previous run saved its queues
    std::map<std::string, std::uint64_t> backlogAtStop;  // by channel key
    std::vector<std::string> problems;
  };

  explicit StateStore(std::string directory);
  ~StateStore();  // StopWriter()
  StateStore(const StateStore&) = delete;
  StateStore& operator=(const StateStore&) = delete;

  // Creates the directory if need be and checks that files can be written
  // in it; false with error set when they cannot.
  bool Open(std::string* error);
  // Reads what the previous run left; never fails. The saved queues stay on
  // disk until DropQueued.
  Loaded Load();
  // Removes the saved queues, once what they held is in the event log (or
  // in memory only, when there is no log).
  void DropQueued();

  // The counters that stand for each channel's backlog, one per key, in a
  // mapping of the backlog file (in memory only when it cannot be mapped).
  // Valid until the store goes. Call once, after Load.
  std::vector<std::atomic<std::size_t>*> MapBacklogs(const std::vector<std::string>& keys);

  // Starts the topology writer: describe() answers the topology as it is;
  // it is called on the writer's thread, with no lock of the caller held.
  void StartWriter(Describe describe);
  // Asks for a write of the topology; with wait, returns once a write that
  // began after this call has ended (at once when the writer is not
  // running). Never call it with a lock that describe() takes.
  void Changed(bool wait);
  // Makes a last write if one is due and ends the writer. Idempotent.
  void StopWriter();

  // Saves the queues at a planned stop; false when they could not be saved.
  bool SaveQueued(const std::vector<QueuedEvents>& queues);

  const std::string& directory() const { return directory_; }
  std::string PathOf(const std::string& name) const { return directory_ + "/" + name; }

  // Reports a problem of the state directory on stderr, once for each
  // run of failures (not once per failed write).
  void ReportWrite(bool ok, const std::string& error);

 private:
  void RunWriter();
  template <typename T>
  bool LoadFile(StateFile::Kind kind, const std::string& name,
                bool (*decode)(const std::string&, T*), T* out, Loaded* loaded);
  void LoadBacklogs(Loaded* loaded);

  const std::string directory_;

  std::mutex mutex_;
  std::condition_variable changed_;
  Describe describe_;
  bool writerRunning_ = false;
  bool stopping_ = false;
  std::uint64_t requested_ = 0;  // changes asked for
  std::uint64_t written_ = 0;    // changes covered by ended writes
  std::thread writer_;

  std::mutex reportMutex_;
  bool failing_ = false;

  void* backlogMapping_ = nullptr;
  std::size_t backlogMappingSize_ = 0;
  std::unique_ptr<std::atomic<std::size_t>[]> backlogFallback_;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_STATE_STATE_STORE_H_
