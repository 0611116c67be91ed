// One budget of descriptors for everything a LAN peer can make the process
// hold open: the sessions of every device TCP server and every streaming
// server, and the descriptors duplicated for queued file writes. Each server
// once took 70 % of RLIMIT_NOFILE for itself, so two of them together could
// pass the process limit; now they share the one share.
#pragma once

namespace zel_upnp {
namespace utils {
namespace descriptor_budget {

// The budget, in percent of the soft RLIMIT_NOFILE.
constexpr unsigned kPercent = 70;

// Recomputes the budget from the current soft limit (each server's Start).
void Refresh();
// Replaces the budget (tests); 0 means no bound.
void SetLimit(unsigned limit);
unsigned Limit();
unsigned InUse();
// Takes one descriptor of the budget: false, taking nothing, when it is
// spent. Any thread, lock-free.
bool TryTake();
// Gives back one taken descriptor.
void Give();
// Duplicates fd (close-on-exec) within the budget: -1 when the budget is
// spent or the duplicate fails. CloseDuplicate closes it and gives it back.
int Duplicate(int fd);
void CloseDuplicate(int fd);

}  // namespace descriptor_budget
}  // namespace utils
}  // namespace zel_upnp
