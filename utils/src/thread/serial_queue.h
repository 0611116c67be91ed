#ifndef ZEL_UPNP_UTILS_SRC_THREAD_SERIAL_QUEUE_H_
#define ZEL_UPNP_UTILS_SRC_THREAD_SERIAL_QUEUE_H_

#include <semaphore.h>

#include <deque>
#include <functional>

#include <boost/thread/mutex.hpp>

namespace zel_upnp {
namespace utils {

// Calls run one at a time, in the order they were posted, on the one thread
// inside Run. Posting from any thread is cheap when the runner is busy (no
// system call) and costs one wake-up when it sleeps: the runner sleeps on a
// semaphore rather than a condition variable, whose wake-up would also
// re-take its mutex as contended and pay a second system call to release it.
//
// mutex_ guards the list only, never a call: a call may post more calls or
// stop the queue.
class SerialQueue {
  public:
    SerialQueue();
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    // Appends call; false (call dropped) once the queue is stopped.
    bool Post(std::function<void()> call);
    // Runs the calls as they come until Stop; returns after the call in
    // progress. One thread at a time.
    void Run();
    // Ends Run and drops the calls not yet started (their captures are
    // destroyed here, on the caller's thread). Idempotent.
    void Stop();

  private:
    boost::mutex mutex_;
    std::deque<std::function<void()> > calls_;  // mutex_
    bool stopped_;                              // mutex_
    // One count per queued call, plus one for Stop.
    sem_t ready_;
};

}  // namespace utils
}  // namespace zel_upnp

#endif  // ZEL_UPNP_UTILS_SRC_THREAD_SERIAL_QUEUE_H_
