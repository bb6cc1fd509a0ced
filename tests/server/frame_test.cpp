#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "lib/log.h"
#include "server/frame.h"
#include "server/frame_bytes.h"
#include "server/msg.h"
#include "support/test_support.h"

namespace {

// frame_pack over a copy of `body`: the whole frame as it goes on the wire.
Bytes pack(const Bytes &body, uint64_t area_size = 1 << 20) {
    std::vector<uint8_t> buf(body.begin(), body.end());
    buf.resize(body.size() + FRAME_TRAILER_LEN);
    std::vector<uint8_t> area(area_size);
    frame_hdr h;
    uint64_t size = frame_pack(&h, buf.data(), body.size(), area);
    Bytes out(reinterpret_cast<const char *>(&h), FRAME_HDR_LEN);
    out.append(reinterpret_cast<const char *>(buf.data()), size - FRAME_HDR_LEN);
    return out;
}

// ---- Frames against bytes written out from the format ----

// 600 bytes: a type 4 message with 595 times 'a'.
const Bytes kRunBody = message(MSG_AGENT_DATA, Bytes(595, 'a'));
// Its LZ4 block: 6 literals and a match at offset 1 of 4 + 15 + 255 + 255 + 60 bytes, then the
// 5 literals every block ends with; payload 18 + 4, trailer 600.
const Bytes kRunFrame = Bytes("KR\x30\x06\x00\x00\x00\x16\xEE\xBF\x28\xE4"
                              "\x6F\x04\x00\x00\x02\x53\x61\x01\x00\xFF\xFF\x3C\x50"
                              "aaaaa"
                              "\x00\x00\x02\x58",
                              34);

struct PackCase {
    const char *name;
    Bytes body;
    Bytes frame;
};

void PrintTo(const PackCase &c, std::ostream *os) {
    *os << c.name;
}

class FramePackTest : public testing::TestWithParam<PackCase> {};

TEST_P(FramePackTest, MatchesHandWrittenBytes) {
    EXPECT_EQ(hex(pack(GetParam().body)), hex(GetParam().frame));
}

// 512 bytes that compress well stay raw; 513 that LZ4 cannot shrink stay raw as well.
const Bytes kBody512 = message(MSG_AGENT_DATA, Bytes(507, 'a'));
const Bytes kBody513 = message(MSG_AGENT_DATA, noise(508, 1));

INSTANTIATE_TEST_SUITE_P(
    Cases, FramePackTest,
    testing::Values(PackCase{"Hello", kHelloBody, kHelloFrame},
                    PackCase{"Compressed", kRunBody, kRunFrame},
                    PackCase{"Compressible512StaysRaw", kBody512,
                             Bytes("KR\x30\x06\x00\x00\x02\x04\xB9\x57\x4D\x0D", 12) + kBody512 +
                                 Bytes("\x00\x00\x02\x00", 4)},
                    PackCase{"Incompressible513StaysRaw", kBody513,
                             Bytes("KR\x30\x06\x00\x00\x02\x05\x84\x37\x64\xBD", 12) + kBody513 +
                                 Bytes("\x00\x00\x02\x01", 4)}),
    [](const testing::TestParamInfo<PackCase> &i) { return std::string(i.param.name); });

TEST(FramePack, CompressesFromFiveHundredThirteenBytesOn) {
    const Bytes body = message(MSG_AGENT_DATA, Bytes(508, 'a'));
    const Bytes frame = pack(body);
    ASSERT_LT(frame.size(), FRAME_HDR_LEN + body.size() + FRAME_TRAILER_LEN);
    EXPECT_EQ(frame.substr(frame.size() - 4), Bytes("\x00\x00\x02\x01", 4));
}

TEST(FramePack, KeepsTheBodyRawWhenTheAreaCannotHoldTheBlock) {
    const Bytes body = message(MSG_AGENT_DATA, Bytes(2000, 'a'));
    EXPECT_EQ(pack(body, 8).substr(FRAME_HDR_LEN, body.size()), body);
}

// ---- Receiving ----

constexpr uint64_t kArea = 4096;

// A receive state with a compression area, a growable one without, the fixed 512 bytes of a
// connection that has not said hello, and that fixed buffer wrongly given an area.
enum class Rx { Area, NoArea, Fixed512, Fixed512WithArea };

struct RxCase {
    const char *name;
    Rx kind;
    Bytes in;
    int rc;
    std::vector<Bytes> bodies; // delivered, in order
    const char *log;           // log lines after their time stamps
};

void PrintTo(const RxCase &c, std::ostream *os) {
    *os << c.name;
}

// Runs the state machine over the case's bytes in a child, printing the result and the
// delivered bodies; the log lines come back on standard error.
RunResult feed_case(const RxCase &c) {
    return run_forked([&c] {
        log_level.store(1);
        const bool with_area = c.kind == Rx::Area || c.kind == Rx::Fixed512WithArea;
        std::vector<uint8_t> area(with_area ? kArea : 0);
        std::vector<uint8_t> fixed(512);
        frame_rx rx;
        if (c.kind == Rx::Fixed512 || c.kind == Rx::Fixed512WithArea)
            frame_rx_init(&rx, fixed.data(), fixed.size(), false);
        else
            frame_rx_init(&rx, nullptr, 0, true);
        std::vector<Bytes> got;
        Bytes in = c.in;
        int rc = frame_rx_feed(&rx, writable(in), area, &got, collect);
        printf("%d\n", rc);
        for (const Bytes &b : got)
            printf("%s\n", hex(b).c_str());
        frame_rx_free(&rx);
    });
}

class FrameReceiveTest : public testing::TestWithParam<RxCase> {};

TEST_P(FrameReceiveTest, AcceptsOrRefusesWithItsLine) {
    const RxCase &c = GetParam();
    RunResult res = feed_case(c);
    EXPECT_EQ(res.exit_code, 0);
    std::string expect = std::to_string(c.rc) + "\n";
    for (const Bytes &b : c.bodies)
        expect += hex(b) + "\n";
    EXPECT_EQ(res.out, expect);
    EXPECT_EQ(log_text(res), c.log);
}

// A header with the check field 0, which receivers take unchecked.
Bytes unchecked(const char *magic, uint16_t version, uint32_t plen) {
    const char h[] = {magic[0],
                      magic[1],
                      static_cast<char>(version >> 8),
                      static_cast<char>(version),
                      static_cast<char>(plen >> 24),
                      static_cast<char>(plen >> 16),
                      static_cast<char>(plen >> 8),
                      static_cast<char>(plen),
                      0,
                      0,
                      0,
                      0};
    return Bytes(h, sizeof h);
}

const Bytes kOneByteBody = Bytes("A\x00\x00\x00\x01", 5);

INSTANTIATE_TEST_SUITE_P(
    Cases, FrameReceiveTest,
    testing::Values(
        RxCase{"Hello", Rx::Area, kHelloFrame, 0, {kHelloBody}, ""},
        RxCase{"CheckZeroAcceptedWhateverTheMagic",
               Rx::Area,
               unchecked("??", 0x3006, 5) + kOneByteBody,
               0,
               {"A"},
               ""},
        RxCase{"WrongCheck",
               Rx::Area,
               Bytes("KR\x30\x06\x00\x00\x00\x05\xC9\xFF\xC5\xB7", 12) + kOneByteBody,
               -1,
               {},
               "ERROR  NET: Network header corrupted.\n"},
        RxCase{"PayloadFiveChecked",
               Rx::Area,
               Bytes("KR\x30\x06\x00\x00\x00\x05\xC9\xFF\xC5\xB6", 12) + kOneByteBody,
               0,
               {"A"},
               ""},
        RxCase{"OtherPatchAccepted",
               Rx::Area,
               Bytes("KR\x30\x07\x00\x00\x00\x06\x99\x24\xAB\x25", 12) +
                   Bytes("AB\x00\x00\x00\x02", 6),
               0,
               {"AB"},
               ""},
        RxCase{"OtherMinorRefused",
               Rx::Area,
               Bytes("KR\x30\x40\x00\x00\x00\x06\x23\xD7\xC5\xEB", 12),
               -1,
               {},
               "ERROR  NET: Korvane Protocol version mismatch [3.1].\n"},
        RxCase{"OtherMajorRefused",
               Rx::Area,
               unchecked("KR", 0x4006, 6),
               -1,
               {},
               "ERROR  NET: Korvane Protocol version mismatch [4.0].\n"},
        RxCase{"PayloadFour",
               Rx::Area,
               unchecked("KR", 0x3006, 4),
               -1,
               {},
               "ERROR  NET: Invalid payload size: 4\n"},
        RxCase{"PayloadZero",
               Rx::NoArea,
               unchecked("KR", 0x3006, 0),
               -1,
               {},
               "ERROR  NET: Invalid payload size: 0\n"},
        RxCase{"PayloadAtTheAreaSize",
               Rx::Area,
               unchecked("KR", 0x3006, kArea) + Bytes(kArea - 4, 'z') +
                   Bytes("\x00\x00\x0F\xFC", 4),
               0,
               {Bytes(kArea - 4, 'z')},
               ""},
        RxCase{"PayloadOverTheAreaSize",
               Rx::Area,
               unchecked("KR", 0x3006, kArea + 1),
               -1,
               {},
               "ERROR  NET: Max. payload size exceeded: 4097\n"},
        RxCase{"PayloadOverMsgMaxWithoutArea",
               Rx::NoArea,
               unchecked("KR", 0x3006, MSG_MAX_LEN + 1),
               -1,
               {},
               "ERROR  NET: Max. payload size exceeded: 16777213\n"},
        RxCase{"FixedBufferExceeded",
               Rx::Fixed512,
               unchecked("KR", 0x3006, 513),
               -1,
               {},
               "ERROR  NET: Receive buffer size exceeded!\n"},
        // Decompressing would reallocate the caller's own buffer: refused before any byte.
        RxCase{"FixedBufferWithAnAreaRefused",
               Rx::Fixed512WithArea,
               kRunFrame,
               -1,
               {},
               "ERROR  NET: A fixed receive buffer takes no compression area.\n"},
        RxCase{"FixedBufferFull",
               Rx::Fixed512,
               unchecked("KR", 0x3006, 512) + Bytes(508, 'f') + Bytes("\x00\x00\x01\xFC", 4),
               0,
               {Bytes(508, 'f') + Bytes("\x00\x00\x01\xFC", 4)},
               ""},
        // Without an area the payload is delivered raw, trailer and all, even when the trailer
        // announces a compressed body.
        RxCase{"RawWithoutArea",
               Rx::NoArea,
               unchecked("KR", 0x3006, 7) + Bytes("xyz\x00\x00\x00\x09", 7),
               0,
               {Bytes("xyz\x00\x00\x00\x09", 7)},
               ""},
        RxCase{"Compressed", Rx::Area, kRunFrame, 0, {kRunBody}, ""},
        RxCase{"OsizeOverTheArea",
               Rx::Area,
               unchecked("KR", 0x3006, 6) + Bytes("ab\x00\x00\x10\x01", 6),
               -1,
               {},
               "ERROR  NET: Payload corrupted, invalid osize: 4097\n"},
        RxCase{"BrokenBlock",
               Rx::Area,
               unchecked("KR", 0x3006, 9) + Bytes("\xF0\x01\x02\x03\x04\x00\x00\x00\x64", 9),
               -1,
               {},
               "ERROR  NET: Payload decompression error.\n"},
        // The block decodes to 600 bytes, not to the 601 the trailer announces.
        RxCase{"BlockShorterThanOsize",
               Rx::Area,
               unchecked("KR", 0x3006, 22) + kRunFrame.substr(12, 18) +
                   Bytes("\x00\x00\x02\x59", 4),
               -1,
               {},
               "ERROR  NET: Payload decompression error.\n"},
        RxCase{"BlockLongerThanOsize",
               Rx::Area,
               unchecked("KR", 0x3006, 22) + kRunFrame.substr(12, 18) +
                   Bytes("\x00\x00\x02\x57", 4),
               -1,
               {},
               "ERROR  NET: Payload decompression error.\n"},
        RxCase{"CsizeOverOsize",
               Rx::Area,
               unchecked("KR", 0x3006, 9) + Bytes("abcde\x00\x00\x00\x04", 9),
               -1,
               {},
               "ERROR  NET: Payload corrupted.\n"},
        // Frames before a refused one are delivered.
        RxCase{"GoodFrameThenBadCheck",
               Rx::Area,
               unchecked("KR", 0x3006, 5) + kOneByteBody +
                   Bytes("KR\x30\x06\x00\x00\x00\x05\x00\x00\x00\x01", 12),
               -1,
               {"A"},
               "ERROR  NET: Network header corrupted.\n"}),
    [](const testing::TestParamInfo<RxCase> &i) { return std::string(i.param.name); });

TEST(FrameUnpack, RefusesAPayloadWithoutRoomForItsTrailer) {
    RunResult res = run_forked([] {
        log_level.store(1);
        Bytes payload("\x00\x00\x00\x00", 4);
        frame_buf b{writable(payload).data(), payload.size(), payload.size()};
        std::vector<uint8_t> area(kArea);
        printf("%d\n", frame_unpack(&b, kArea, area));
    });
    EXPECT_EQ(res.out, "-1\n");
    EXPECT_EQ(log_text(res), "ERROR  NET: Invalid payload size: 4\n");
}

// ---- Reassembly and buffer bounds ----

// Three frames: raw, compressed and raw again, with bodies of messages.
Bytes three_frames(std::vector<Bytes> *bodies) {
    *bodies = {message(MSG_PUSH, "first"), message(MSG_AGENT_DATA, Bytes(3000, 'c')),
               message(MSG_RESPONSE, noise(700, 2)) + message(MSG_HELLO, "x")};
    Bytes stream;
    for (const Bytes &b : *bodies)
        stream += pack(b);
    return stream;
}

TEST(FrameReceive, ReassemblesWhateverTheReadSizes) {
    std::vector<Bytes> bodies;
    Bytes stream = three_frames(&bodies);
    for (size_t chunk :
         {size_t{1}, size_t{5}, size_t{12}, size_t{13}, size_t{1000}, stream.size()}) {
        std::vector<uint8_t> area(kArea);
        frame_rx rx;
        frame_rx_init(&rx, nullptr, 0, true);
        std::vector<Bytes> got;
        for (size_t at = 0; at < stream.size(); at += chunk) {
            const size_t n = std::min(chunk, stream.size() - at);
            ASSERT_EQ(frame_rx_feed(&rx, writable(stream).subspan(at, n), area, &got, collect), 0);
        }
        EXPECT_EQ(got, bodies) << "chunk " << chunk;
        EXPECT_EQ(rx.hlen, 0) << "chunk " << chunk;
        frame_rx_free(&rx);
    }
}

// A receiver that takes no further frame of a feed once it has this many bodies.
struct Holding {
    std::vector<Bytes> got;
    std::vector<size_t> hold_after; // body counts
};

void hold_collect(void *ctx, uint8_t *body, uint64_t len) {
    static_cast<Holding *>(ctx)->got.emplace_back(reinterpret_cast<const char *>(body), len);
}

bool hold_when(void *ctx) {
    const auto *h = static_cast<const Holding *>(ctx);
    return std::find(h->hold_after.begin(), h->hold_after.end(), h->got.size()) !=
           h->hold_after.end();
}

// A feed held after a frame stops right behind it and says how much it took; feeding the rest
// goes on where it stopped, whether the next read then ends in a header, in a payload or
// after several frames. A hold on the last frame of a read stops nothing.
TEST(FrameReceive, HeldFeedStopsAfterTheFrameAndResumesFromTheRest) {
    std::vector<Bytes> bodies;
    const Bytes stream = three_frames(&bodies);
    std::vector<size_t> ends; // where each frame ends in the stream
    for (const Bytes &b : bodies)
        ends.push_back((ends.empty() ? 0 : ends.back()) + pack(b).size());
    const size_t e1 = ends[0], e2 = ends[1];
    const struct {
        const char *name;
        std::vector<size_t> reads_end; // where each read but the last ends
        std::vector<size_t> hold_after;
        std::vector<size_t> stops; // where the feeds stop, in the stream
    } cases[] = {
        {"one read, held after the first", {}, {1}, {e1}},
        {"one read, held after every frame", {}, {1, 2, 3}, {e1, e2}},
        {"read ends in the next header", {e1 + 5}, {1}, {e1}},
        {"read ends in the next payload", {e1 + FRAME_HDR_LEN + 3}, {1, 2}, {e1, e2}},
        {"read ends with the held frame", {e1}, {1}, {}},
        {"held frame completed by a later read", {e1 - 2}, {1}, {e1}},
        {"never held", {}, {}, {}},
    };
    for (const auto &c : cases) {
        std::vector<uint8_t> area(kArea);
        frame_rx rx;
        frame_rx_init(&rx, nullptr, 0, true);
        Holding h{{}, c.hold_after};
        Bytes in = stream;
        std::vector<size_t> stops;
        std::vector<size_t> cuts = c.reads_end;
        cuts.push_back(stream.size());
        size_t at = 0;
        for (size_t cut : cuts) {
            while (at < cut) {
                uint64_t used = 0;
                const size_t before = h.got.size();
                ASSERT_EQ(frame_rx_feed(&rx, writable(in).subspan(at, cut - at), area, &h,
                                        hold_collect, hold_when, &used),
                          0)
                    << c.name;
                ASSERT_GT(used, 0u) << c.name;
                at += used;
                if (at < cut) {
                    stops.push_back(at);
                    // A stop comes right behind a delivered frame, with nothing of the next.
                    EXPECT_GT(h.got.size(), before) << c.name;
                    EXPECT_EQ(rx.hlen, 0) << c.name;
                    EXPECT_EQ(rx.expect, 0u) << c.name;
                }
            }
        }
        EXPECT_EQ(stops, c.stops) << c.name;
        EXPECT_EQ(h.got, bodies) << c.name;
        frame_rx_free(&rx);
    }
}

TEST(FrameReceive, BufferGrowsWithTheBytesThatArriveAndShrinksAfterALargeFrame) {
    std::vector<uint8_t> area(1 << 24);
    frame_rx rx;
    frame_rx_init(&rx, nullptr, 0, true);
    std::vector<Bytes> got;

    // A header announcing 16 MB, followed by only 100 bytes, holds little memory.
    Bytes big_header = unchecked("KR", 0x3006, 1 << 24);
    ASSERT_EQ(frame_rx_feed(&rx, writable(big_header), area, &got, collect), 0);
    EXPECT_EQ(rx.payload.cap, 0u);
    Bytes some(100, 's');
    ASSERT_EQ(frame_rx_feed(&rx, writable(some), area, &got, collect), 0);
    EXPECT_LE(rx.payload.cap, 64u * 1024);
    frame_rx_free(&rx);

    // A 1 MiB frame is delivered whole, then its buffer is cut back.
    frame_rx_init(&rx, nullptr, 0, true);
    const Bytes body = noise(1 << 20, 3);
    Bytes frame = pack(body, area.size());
    for (size_t at = 0; at < frame.size(); at += 4096) {
        const size_t n = std::min<size_t>(4096, frame.size() - at);
        ASSERT_EQ(frame_rx_feed(&rx, writable(frame).subspan(at, n), area, &got, collect), 0);
        EXPECT_LE(rx.payload.cap, std::max<uint64_t>(64 * 1024, 2 * (at + n)));
    }
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(got[0] == body);
    EXPECT_LE(rx.payload.cap, 256u * 1024);
    frame_rx_free(&rx);
}

TEST(FrameReceive, DebugLinesTraceAFrame) {
    RunResult res = run_forked([] {
        log_level.store(2);
        std::vector<uint8_t> area(kArea);
        frame_rx rx;
        frame_rx_init(&rx, nullptr, 0, true);
        std::vector<Bytes> got;
        Bytes in = kRunFrame;
        frame_rx_feed(&rx, writable(in), area, &got, collect);
        frame_rx_free(&rx);
    });
    EXPECT_EQ(log_text(res), "DEBUG  NET: header completed!\n"
                             "DEBUG  NET: message psz: 22\n"
                             "DEBUG  NET: Frame completed!\n"
                             "DEBUG  NET: Payload csize=18 osize=600.\n");
}

} // namespace
