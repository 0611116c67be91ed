#include "utils/src/common/descriptor_budget.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <climits>

namespace zel_upnp {
namespace utils {
namespace descriptor_budget {

namespace {

unsigned ComputeLimit() {
    struct rlimit descriptors;
    if (getrlimit(RLIMIT_NOFILE, &descriptors) != 0)
        return 0;
    const unsigned long long soft = descriptors.rlim_cur == RLIM_INFINITY
                                        ? static_cast<unsigned long long>(UINT_MAX)
                                        : static_cast<unsigned long long>(descriptors.rlim_cur);
    const unsigned long long limit = soft / 100 * kPercent + soft % 100 * kPercent / 100;
    return limit > UINT_MAX ? UINT_MAX : static_cast<unsigned>(limit);
}

std::atomic<unsigned> g_limit(ComputeLimit());
std::atomic<unsigned> g_in_use(0);

}  // namespace

void Refresh() {
    g_limit = ComputeLimit();
}

void SetLimit(unsigned limit) {
    g_limit = limit;
}

unsigned Limit() {
    return g_limit.load();
}

unsigned InUse() {
    return g_in_use.load();
}

bool TryTake() {
    unsigned used = g_in_use.load();
    for (;;) {
        const unsigned limit = g_limit.load();
        if (limit != 0 && used >= limit)
            return false;
        if (g_in_use.compare_exchange_weak(used, used + 1))
            return true;
    }
}

void Give() {
    unsigned used = g_in_use.load();
    while (used > 0 && !g_in_use.compare_exchange_weak(used, used - 1)) {
    }
}

int Duplicate(int fd) {
    if (!TryTake())
        return -1;
    const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0)
        Give();
    return copy;
}

void CloseDuplicate(int fd) {
    if (fd < 0)
        return;
    close(fd);
    Give();
}

}  // namespace descriptor_budget
}  // namespace utils
}  // namespace zel_upnp
