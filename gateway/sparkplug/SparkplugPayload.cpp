#include "gateway/sparkplug/SparkplugPayload.h"

#include <cstdlib>
#include <cstring>

#include "sparkplug_b.pb-c.h"

namespace sparkplug {

namespace {

// protobuf-c's allocations for one decode, within a budget: a payload that
// would take more is refused, not served.
struct Budget {
    size_t left;
};

void* BudgetAlloc(void* data, size_t size) {
    auto* budget = static_cast<Budget*>(data);
    const size_t whole = size + sizeof(max_align_t);
    if (size > budget->left || whole > budget->left) return nullptr;
    auto* block = static_cast<unsigned char*>(std::malloc(whole));
    if (!block) return nullptr;
    budget->left -= whole;
    std::memcpy(block, &whole, sizeof whole);
    return block + sizeof(max_align_t);
}

void BudgetFree(void* data, void* pointer) {
    if (!pointer) return;
    auto* budget = static_cast<Budget*>(data);
    unsigned char* block = static_cast<unsigned char*>(pointer) - sizeof(max_align_t);
    size_t whole;
    std::memcpy(&whole, block, sizeof whole);
    budget->left += whole;
    std::free(block);
}

// The payload's top-level metrics counted without decoding it (protobuf's
// wire format: a key, then a varint, 8 bytes, a length and its bytes, or 4
// bytes): false when the bytes are no such sequence.
bool CountMetrics(const uint8_t* p, size_t size, size_t* metrics) {
    auto varint = [&](size_t* at, uint64_t* v) {
        *v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (*at >= size) return false;
            const uint8_t b = p[(*at)++];
            *v |= static_cast<uint64_t>(b & 0x7F) << shift;
            if (!(b & 0x80)) return true;
        }
        return false;
    };
    *metrics = 0;
    size_t at = 0;
    while (at < size) {
        uint64_t key, v;
        if (!varint(&at, &key)) return false;
        switch (key & 7) {
            case 0:
                if (!varint(&at, &v)) return false;
                break;
            case 1:
                if (size - at < 8) return false;
                at += 8;
                break;
            case 2:
                if (!varint(&at, &v) || v > size - at) return false;
                at += static_cast<size_t>(v);
                break;
            case 5:
                if (size - at < 4) return false;
                at += 4;
                break;
            default:
                return false;
        }
        if (key >> 3 == 2) ++*metrics;
    }
    return true;
}

}  // namespace

std::string Encode(const Payload& p) {
    Spb__Payload out = SPB__PAYLOAD__INIT;
    out.has_timestamp = p.hasTimestamp;
    out.timestamp = p.timestamp;
    out.has_seq = p.hasSeq;
    out.seq = p.seq;
    std::vector<Spb__Payload__Metric> metrics(p.metrics.size());
    std::vector<Spb__Payload__Metric*> pointers(p.metrics.size());
    for (size_t i = 0; i < p.metrics.size(); ++i) {
        const Metric& m = p.metrics[i];
        Spb__Payload__Metric& o = metrics[i];
        o = SPB__PAYLOAD__METRIC__INIT;
        if (!m.name.empty()) o.name = const_cast<char*>(m.name.c_str());
        o.has_alias = m.hasAlias;
        o.alias = m.alias;
        o.has_timestamp = m.hasTimestamp;
        o.timestamp = m.timestamp;
        o.has_datatype = m.hasDatatype;
        o.datatype = m.datatype;
        if (m.historical) {
            o.has_is_historical = true;
            o.is_historical = true;
        }
        if (m.isNull) {
            o.has_is_null = true;
            o.is_null = true;
        } else if (m.kind == Metric::Kind::boolean) {
            o.value_case = SPB__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE;
            o.boolean_value = m.boolean;
        } else if (m.kind == Metric::Kind::text) {
            o.value_case = SPB__PAYLOAD__METRIC__VALUE_STRING_VALUE;
            o.string_value = const_cast<char*>(m.text.c_str());
        } else if (m.kind == Metric::Kind::integer) {
            // the 64-bit types, DateTime and UInt32 in long_value, the smaller in
            // int_value: UInt32 as Eclipse Tahu (and so Ignition) and the
            // Sparkplug TCK encode and decode it, which read no int_value for it
            if (m.datatype == kInt64 || m.datatype == kUInt64 || m.datatype == kUInt32 ||
                m.datatype == 13) {
                o.value_case = SPB__PAYLOAD__METRIC__VALUE_LONG_VALUE;
                o.long_value = m.integer;
            } else {
                o.value_case = SPB__PAYLOAD__METRIC__VALUE_INT_VALUE;
                o.int_value = static_cast<uint32_t>(m.integer);
            }
        }
        pointers[i] = &o;
    }
    out.n_metrics = pointers.size();
    out.metrics = pointers.data();
    std::string bytes(spb__payload__get_packed_size(&out), '\0');
    spb__payload__pack(&out, reinterpret_cast<uint8_t*>(bytes.data()));
    return bytes;
}

bool Decode(const void* data, size_t size, Payload* payload, std::string* error) {
    if (size > kMaxIncomingBytes) {
        *error = "a payload of " + std::to_string(size) + " bytes (at most " +
                 std::to_string(kMaxIncomingBytes) + ")";
        return false;
    }
    size_t count = 0;
    if (!CountMetrics(static_cast<const uint8_t*>(data), size, &count)) {
        *error = "not a Sparkplug B payload";
        return false;
    }
    if (count > kMaxIncomingMetrics) {
        *error = std::to_string(count) + " metrics (at most " +
                 std::to_string(kMaxIncomingMetrics) + ")";
        return false;
    }
    // (what protobuf-c makes of it: its metrics' structures, and a few times
    // the bytes at most; anything that would take more is refused)
    Budget budget{16 * size + (count + 1) * 512 + 64 * 1024};
    ProtobufCAllocator allocator{BudgetAlloc, BudgetFree, &budget};
    Spb__IncomingPayload* in =
        spb__incoming_payload__unpack(&allocator, size, static_cast<const uint8_t*>(data));
    if (!in) {
        *error = "not a Sparkplug B payload";
        return false;
    }
    {
        *payload = Payload();
        payload->hasTimestamp = in->has_timestamp;
        payload->timestamp = in->timestamp;
        payload->hasSeq = in->has_seq;
        payload->seq = in->seq;
        for (size_t i = 0; i < in->n_metrics; ++i) {
            const Spb__IncomingPayload__Metric& m = *in->metrics[i];
            Metric out;
            if (m.name) out.name = m.name;
            out.hasAlias = m.has_alias;
            out.alias = m.alias;
            out.hasTimestamp = m.has_timestamp;
            out.timestamp = m.timestamp;
            out.hasDatatype = m.has_datatype;
            out.datatype = m.datatype;
            out.historical = m.has_is_historical && m.is_historical;
            out.isNull = m.has_is_null && m.is_null;
            switch (m.value_case) {
                case SPB__INCOMING_PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE:
                    out.kind = Metric::Kind::boolean;
                    out.boolean = m.boolean_value;
                    break;
                case SPB__INCOMING_PAYLOAD__METRIC__VALUE_INT_VALUE:
                    out.kind = Metric::Kind::integer;
                    out.integer = m.int_value;
                    break;
                case SPB__INCOMING_PAYLOAD__METRIC__VALUE_LONG_VALUE:
                    out.kind = Metric::Kind::integer;
                    out.integer = m.long_value;
                    break;
                case SPB__INCOMING_PAYLOAD__METRIC__VALUE_STRING_VALUE:
                    out.kind = Metric::Kind::text;
                    out.text = m.string_value ? m.string_value : "";
                    break;
                case SPB__INCOMING_PAYLOAD__METRIC__VALUE__NOT_SET:
                    out.kind = Metric::Kind::none;
                    break;
                default:
                    out.kind = Metric::Kind::other;  // float, double, bytes: none the node takes
                    break;
            }
            payload->metrics.push_back(std::move(out));
        }
    }
    spb__incoming_payload__free_unpacked(in, &allocator);
    return true;
}

Metric BooleanMetric(const std::string& name, bool value) {
    Metric m;
    m.name = name;
    m.hasDatatype = true;
    m.datatype = kBoolean;
    m.kind = Metric::Kind::boolean;
    m.boolean = value;
    return m;
}

Metric IntegerMetric(const std::string& name, uint32_t datatype, uint64_t value) {
    Metric m;
    m.name = name;
    m.hasDatatype = true;
    m.datatype = datatype;
    m.kind = Metric::Kind::integer;
    m.integer = value;
    return m;
}

Metric TextMetric(const std::string& name, const std::string& value) {
    Metric m;
    m.name = name;
    m.hasDatatype = true;
    m.datatype = kString;
    m.kind = Metric::Kind::text;
    m.text = value;
    return m;
}

}  // namespace sparkplug
