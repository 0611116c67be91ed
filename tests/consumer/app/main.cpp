#include <cstdio>
#include <zel_upnp/utils.h>

int main() {
    std::string name = zel_upnp::utils::PrepareThreadName("Consumer");
    std::printf("consumer %s (%s)\n", name.size() >= 8 ? "ok" : "bad", name.c_str());
    return name.size() >= 8 ? 0 : 1;
}
