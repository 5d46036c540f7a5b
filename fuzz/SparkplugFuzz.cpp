// A host's Sparkplug B payload (NCMD, DCMD) on any bytes a broker client may
// publish: decoded within its bounds or refused with a reason, never a crash
// or unbounded memory; what decodes encodes again and decodes alike.
#include <cstddef>
#include <cstdint>
#include <string>

#include "gateway/sparkplug/SparkplugPayload.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    sparkplug::Payload p;
    std::string why;
    if (!sparkplug::Decode(data, size, &p, &why)) {
        if (why.empty()) __builtin_trap();
        return 0;
    }
    if (p.metrics.size() > sparkplug::kMaxIncomingMetrics) __builtin_trap();
    // (values the node itself never sends, float and the like, come back as none)
    for (sparkplug::Metric& m : p.metrics)
        if (m.kind == sparkplug::Metric::Kind::other) m.kind = sparkplug::Metric::Kind::none;
    const std::string again = sparkplug::Encode(p);
    sparkplug::Payload q;
    if (again.size() <= sparkplug::kMaxIncomingBytes) {
        if (!sparkplug::Decode(again.data(), again.size(), &q, &why)) __builtin_trap();
        if (q.metrics.size() != p.metrics.size()) __builtin_trap();
        // (a name is text up to its first NUL, as protobuf-c hands it over:
        // compared as the node reads it)
        for (size_t i = 0; i < p.metrics.size(); ++i)
            if (q.metrics[i].name != p.metrics[i].name.c_str() ||
                (p.metrics[i].kind == sparkplug::Metric::Kind::boolean && !p.metrics[i].isNull &&
                 q.metrics[i].boolean != p.metrics[i].boolean))
                __builtin_trap();
    }
    return 0;
}
