#include <zel_upnp/utils.h>
#include <cstdio>

int main() {
    std::string name = zel_upnp::utils::PrepareThreadName("Consumer");
    std::printf("consumer %s (%s)\n", name.size() >= 8 ? "ok" : "bad", name.c_str());
    return name.size() >= 8 ? 0 : 1;
}
