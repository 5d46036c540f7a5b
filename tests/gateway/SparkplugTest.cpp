// Sparkplug B's payload codec on its own, what a host may send it, and the
// node's buffer of what no host heard: bounded, on disk, kept across a
// restart.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "TestSupport.h"
#include "gateway/sparkplug/SparkplugBuffer.h"
#include "gateway/sparkplug/SparkplugPayload.h"

namespace {

// protobuf's varint and a length-delimited field, for payloads made by hand
std::string Varint(uint64_t v) {
    std::string out;
    while (v >= 0x80) {
        out += static_cast<char>((v & 0x7F) | 0x80);
        v >>= 7;
    }
    out += static_cast<char>(v);
    return out;
}
std::string Field(int number, const std::string& bytes) {
    return Varint(static_cast<uint64_t>(number) << 3 | 2) + Varint(bytes.size()) + bytes;
}

}  // namespace

TEST(SparkplugPayload, WhatTheNodeSendsReadsBack) {
    sparkplug::Payload p;
    p.hasTimestamp = true;
    p.timestamp = 1796900000123;
    p.hasSeq = true;
    p.seq = 255;
    p.metrics.push_back(sparkplug::IntegerMetric("bdSeq", sparkplug::kInt64, 7));
    p.metrics.push_back(sparkplug::BooleanMetric("P7/I0", true));
    p.metrics.push_back(sparkplug::TextMetric("State", "ok"));
    p.metrics.push_back(sparkplug::IntegerMetric("Polls", sparkplug::kUInt32, 4000000000u));
    p.metrics.push_back(sparkplug::IntegerMetric("Status Byte", sparkplug::kUInt8, 0x81));
    sparkplug::Metric byAlias = sparkplug::BooleanMetric("", false);
    byAlias.hasAlias = true;
    byAlias.alias = 42;
    byAlias.historical = true;
    p.metrics.push_back(byAlias);
    const std::string bytes = sparkplug::Encode(p);
    sparkplug::Payload q;
    std::string why;
    ASSERT_TRUE(sparkplug::Decode(bytes.data(), bytes.size(), &q, &why)) << why;
    EXPECT_EQ(q.timestamp, p.timestamp);
    EXPECT_EQ(q.seq, 255u);
    ASSERT_EQ(q.metrics.size(), p.metrics.size());
    EXPECT_EQ(q.metrics[0].integer, 7u);
    EXPECT_EQ(q.metrics[1].name, "P7/I0");
    EXPECT_TRUE(q.metrics[1].boolean);
    EXPECT_EQ(q.metrics[2].text, "ok");
    EXPECT_EQ(q.metrics[3].integer, 4000000000u);  // (UInt32 in long_value, as Tahu reads it)
    EXPECT_EQ(q.metrics[4].integer, 0x81u);
    EXPECT_EQ(q.metrics[5].name, "");
    EXPECT_EQ(q.metrics[5].alias, 42u);
    EXPECT_TRUE(q.metrics[5].historical);
}

TEST(SparkplugPayload, AHostsPayloadWithinItsBounds) {
    sparkplug::Payload out;
    std::string why;
    // not a payload: garbage, a length past the end, a field of no wire type
    for (const std::string& bad : {std::string("\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\x01", 11),
                                   Field(2, "\x0a\x05P2/O3").substr(0, 4),
                                   std::string("\x0f\x01", 2)}) {
        why.clear();
        EXPECT_FALSE(sparkplug::Decode(bad.data(), bad.size(), &out, &why));
        EXPECT_EQ(why, "not a Sparkplug B payload");
    }
    // too large, too many metrics
    const std::string big(sparkplug::kMaxIncomingBytes + 1, '\0');
    EXPECT_FALSE(sparkplug::Decode(big.data(), big.size(), &out, &why));
    EXPECT_NE(why.find("a payload of 65537 bytes"), std::string::npos) << why;
    std::string many;
    for (size_t i = 0; i <= sparkplug::kMaxIncomingMetrics; ++i) many += Field(2, "");
    EXPECT_FALSE(sparkplug::Decode(many.data(), many.size(), &out, &why));
    EXPECT_EQ(why, "1001 metrics (at most 1000)");
    // templates nested as deep as 60 KB allows: left unread, not followed
    std::string nested = Field(1, "x");
    while (nested.size() < 60000) nested = Field(2, Field(18, nested));
    nested = Field(2, Field(1, "deep") + Field(18, nested));
    ASSERT_LE(nested.size(), sparkplug::kMaxIncomingBytes);
    ASSERT_TRUE(sparkplug::Decode(nested.data(), nested.size(), &out, &why)) << why;
    ASSERT_EQ(out.metrics.size(), 1u);
    EXPECT_EQ(out.metrics[0].name, "deep");
    EXPECT_EQ(out.metrics[0].kind, sparkplug::Metric::Kind::none);
    // a double is a value, but of no type the node takes
    const std::string dbl = Field(2, Field(1, "d") + std::string("\x69", 1) + std::string(8, '\0'));
    ASSERT_TRUE(sparkplug::Decode(dbl.data(), dbl.size(), &out, &why)) << why;
    EXPECT_EQ(out.metrics[0].kind, sparkplug::Metric::Kind::other);
}

TEST(SparkplugBuffer, BoundedOnDiskAndKeptAcrossARestart) {
    testsupport::ScratchDir dir;
    const std::string path = dir.Path("buffer.jsonl");
    auto event = [](int i) {
        SparkplugBuffer::Event e;
        e.device = "Line1.P2";
        e.metric = sparkplug::BooleanMetric("P2/I0", i % 2 == 0);
        e.metric.hasTimestamp = true;
        e.metric.timestamp = 1000 + static_cast<uint64_t>(i);
        return e;
    };
    {
        SparkplugBuffer b;
        std::string error;
        ASSERT_TRUE(b.Open(path, 5, &error)) << error;
        for (int i = 0; i < 8; ++i) b.Add(event(i));
        EXPECT_EQ(b.Size(), 5u);
        EXPECT_EQ(b.Dropped(), 3u);  // the oldest three
        EXPECT_EQ(b.Events().front().metric.timestamp, 1003u);
    }
    // a crash's torn last line is skipped (and counted); the rest, in order
    std::ofstream(path, std::ios::app) << "{\"d\":\"Line1.P2\",\"m\":";
    {
        SparkplugBuffer b;
        std::string error;
        ASSERT_TRUE(b.Open(path, 5, &error)) << error;
        ASSERT_EQ(b.Size(), 5u);
        EXPECT_EQ(b.Dropped(), 1u);
        for (size_t i = 0; i < 5; ++i) {
            EXPECT_EQ(b.Events()[i].metric.timestamp, 1003u + i);
            EXPECT_TRUE(b.Events()[i].metric.historical);
            EXPECT_EQ(b.Events()[i].metric.boolean, (3 + i) % 2 == 0);
        }
        // thousands more stay within the bound, and so does the file
        for (int i = 0; i < 5000; ++i) b.Add(event(i));
        EXPECT_EQ(b.Size(), 5u);
        b.Clear();
    }
    SparkplugBuffer b;
    std::string error;
    ASSERT_TRUE(b.Open(path, 5, &error)) << error;
    EXPECT_EQ(b.Size(), 0u);
    EXPECT_EQ(b.Dropped(), 0u);
}
