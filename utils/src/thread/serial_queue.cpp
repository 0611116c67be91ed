#include "utils/src/thread/serial_queue.h"

#include <cerrno>
#include <utility>

#include <boost/thread/lock_guard.hpp>

namespace zel_upnp {
namespace utils {

SerialQueue::SerialQueue() : stopped_(false) {
    sem_init(&ready_, 0, 0);
}

SerialQueue::~SerialQueue() {
    Stop();
    sem_destroy(&ready_);
}

bool SerialQueue::Post(std::function<void()> call) {
    {
        boost::lock_guard<boost::mutex> lock(mutex_);
        if (stopped_)
            return false;
        calls_.push_back(std::move(call));
    }
    sem_post(&ready_);
    return true;
}

void SerialQueue::Run() {
    for (;;) {
        while (sem_wait(&ready_) != 0 && errno == EINTR) {
        }
        std::function<void()> call;
        {
            boost::lock_guard<boost::mutex> lock(mutex_);
            if (stopped_)
                return;
            // Every count was posted with a call, so the list holds one.
            if (calls_.empty())
                continue;
            call = std::move(calls_.front());
            calls_.pop_front();
        }
        call();
    }
}

void SerialQueue::Stop() {
    std::deque<std::function<void()> > dropped;
    {
        boost::lock_guard<boost::mutex> lock(mutex_);
        if (stopped_)
            return;
        stopped_ = true;
        dropped.swap(calls_);
    }
    sem_post(&ready_);
}

}  // namespace utils
}  // namespace zel_upnp
