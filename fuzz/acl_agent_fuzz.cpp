// The access control's reading of a control point's User-Agent: the
// CR/LF/NUL gate and sanitising of GetCPInfo, then the derivation of the
// display name through the mirroring-app suffixes and the device's filter
// rules (set once from fixed patterns), falling back to the default name.
//
// Input: the User-Agent value.
//
// Traps when the name derived from a clean agent is not clean.
#include <cstddef>
#include <cstdint>
#include <string>

#include <zel_upnp/cd_utils.h>
#include "cd_utils/src/verify_cp_access.h"
#include "utils/src/string/header_text.h"

namespace {

using namespace zel_upnp;

const char kUdn[] = "uuid:acl-fuzz";
const char kMac[] = "02:00:00:00:00:01";

void SetRules() {
    cd_utils::SetAclFilter(kUdn, "Android", 1, ";)");
    cd_utils::SetAclFilter(kUdn, "QTN_HHP_", 0, "/ ");
    cd_utils::SetAclFilter(kUdn, "Mozilla/5.0 (", 0, ";)");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ruled = (SetRules(), true);
    (void)ruled;
    std::string agent(reinterpret_cast<const char*>(data), size);
    if (!utils::IsHeaderSafe(agent))
        agent.clear();
    cd_utils::SanitizeUserAgent(agent);
    if (agent.size() > cd_utils::kMaxUserAgentLength)
        agent.resize(cd_utils::kMaxUserAgentLength);
    std::string name;
    cd_utils::GetDeviceNameFromUserAgent(kUdn, kMac, agent, name);
    if (!utils::IsHeaderSafe(name))
        __builtin_trap();
    return 0;
}
