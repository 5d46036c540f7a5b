// Sparkplug B payloads (protobuf, through protobuf-c): what the edge node
// sends, encoded from these plain types, and what a host sends it, decoded
// within bounds (its size, its metrics, the memory it may take).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sparkplug {

// The data types the node uses (Sparkplug's numbering).
enum DataType : uint32_t {
    kInt64 = 4,
    kUInt8 = 5,
    kUInt32 = 7,
    kUInt64 = 8,
    kBoolean = 11,
    kString = 12,
};

struct Metric {
    std::string name;  // "" for none (data by alias)
    bool hasAlias = false;
    uint64_t alias = 0;
    bool hasTimestamp = false;
    uint64_t timestamp = 0;  // ms since 1970
    bool hasDatatype = false;
    uint32_t datatype = 0;
    bool historical = false;
    bool isNull = false;
    // the value, as the data type keeps it
    enum class Kind { none, integer, boolean, text, other } kind = Kind::none;
    uint64_t integer = 0;  // int_value, long_value
    bool boolean = false;
    std::string text;
};

struct Payload {
    bool hasTimestamp = false;
    uint64_t timestamp = 0;
    bool hasSeq = false;
    uint64_t seq = 0;
    std::vector<Metric> metrics;
};

std::string Encode(const Payload& payload);

// The bounds of a host's payload.
constexpr size_t kMaxIncomingBytes = 64 * 1024;
constexpr size_t kMaxIncomingMetrics = 1000;

// A host's payload, or false with *error saying why it is refused (too
// large, not a payload, a metric too many).
bool Decode(const void* data, size_t size, Payload* payload, std::string* error);

// Helpers for the node's messages.
Metric BooleanMetric(const std::string& name, bool value);
Metric IntegerMetric(const std::string& name, uint32_t datatype, uint64_t value);
Metric TextMetric(const std::string& name, const std::string& value);

}  // namespace sparkplug
