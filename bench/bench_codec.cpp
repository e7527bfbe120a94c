// Cost of the Star codec: encoding and decoding one frame, and the frame CRC.
// The baseline for each frame is its own time on the 500000-baud line (10 bits a byte): the
// codec has to be far below it to never be what limits an exchange.
#include "benchstats.h"
#include "commandcodes.h"
#include "cstarprotocolpc.h"

#include <benchmark/benchmark.h>

#include <iostream>
#include <map>

namespace {

constexpr int Repetitions = 7;
constexpr double LineBitsPerSecond = 500000.0;

// A counts answer as the device sends it: four little-endian 32-bit counts.
const quint8 CountsPayload[16] = {0x39, 0x30, 0x00, 0x00, 0xA6, 0x02, 0x00, 0x00,
                                  0x5A, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00};

struct EncodedFrame
{
    quint8 bytes[cAbstractStarProtocol::MaxEncodedSize];
    int length = 0;
};

EncodedFrame encoded(quint8 command, quint8 dataLength, const quint8 *data)
{
    cStarProtocolPC codec;
    codec.codeData(0x00, command, dataLength, data);
    EncodedFrame frame;
    std::copy(codec.frame(), codec.frame() + codec.frameLength(), frame.bytes);
    frame.length = codec.frameLength();
    return frame;
}

const EncodedFrame RequestFrame = encoded(CommandCode::ReadCounts, 0, nullptr);
const EncodedFrame AnswerFrame = encoded(CommandCode::ReadCounts, 16, CountsPayload);

void encodeRequest(benchmark::State &state)
{
    cStarProtocolPC codec;
    for (auto _ : state) {
        codec.codeData(0x00, CommandCode::ReadCounts, 0, nullptr);
        benchmark::DoNotOptimize(codec.frame()[codec.frameLength() - 2]);
    }
}

void encodeCountsAnswer(benchmark::State &state)
{
    cStarProtocolPC codec;
    for (auto _ : state) {
        codec.codeData(0x00, CommandCode::ReadCounts, 16, CountsPayload);
        benchmark::DoNotOptimize(codec.frame()[codec.frameLength() - 2]);
    }
}

// Decoding works in place, so every pass loads the frame again, as the receive side does.
void decode(benchmark::State &state, const EncodedFrame &frame)
{
    cStarProtocolPC codec;
    for (auto _ : state) {
        codec.clearBuffer();
        codec.addData(frame.bytes, uint(frame.length));
        const int result = codec.encodeBuffer();
        benchmark::DoNotOptimize(result);
        if (result != cAbstractStarProtocol::DecodeOk) {
            state.SkipWithError("frame did not decode");
            break;
        }
    }
}

void decodeRequest(benchmark::State &state)
{
    decode(state, RequestFrame);
}

void decodeCountsAnswer(benchmark::State &state)
{
    decode(state, AnswerFrame);
}

// The receive side of the link, byte by byte: start byte clears, end byte decodes.
void receiveCountsAnswer(benchmark::State &state)
{
    cStarProtocolPC codec;
    for (auto _ : state) {
        int decoded = 0;
        for (int i = 0; i < AnswerFrame.length; ++i) {
            const quint8 byte = AnswerFrame.bytes[i];
            if (byte == cAbstractStarProtocol::StartByte)
                codec.clearBuffer();
            codec.addData(&byte, 1);
            if (byte == cAbstractStarProtocol::EndByte)
                decoded += codec.encodeBuffer() == cAbstractStarProtocol::DecodeOk;
        }
        benchmark::DoNotOptimize(decoded);
    }
}

void crc(benchmark::State &state)
{
    cStarProtocolPC codec;
    quint8 data[255];
    for (int i = 0; i < 255; ++i)
        data[i] = quint8(i * 7 + 1);
    const quint8 length = quint8(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(codec.crc32Stm32Function(data, length, true));
    state.SetBytesProcessed(qint64(state.iterations()) * length);
}

BENCHMARK(encodeRequest)->Repetitions(Repetitions);
BENCHMARK(encodeCountsAnswer)->Repetitions(Repetitions);
BENCHMARK(decodeRequest)->Repetitions(Repetitions);
BENCHMARK(decodeCountsAnswer)->Repetitions(Repetitions);
BENCHMARK(receiveCountsAnswer)->Repetitions(Repetitions);
BENCHMARK(crc)->Arg(19)->Arg(255)->Repetitions(Repetitions);

// Prints Google Benchmark's own report on stderr and keeps the time of every repetition, so
// the table shows the median and the spread of the repetitions.
class CollectingReporter : public benchmark::ConsoleReporter
{
public:
    CollectingReporter() : benchmark::ConsoleReporter(OO_Tabular)
    {
        SetOutputStream(&std::cerr);
        SetErrorStream(&std::cerr);
    }

    void ReportRuns(const std::vector<Run> &runs) override
    {
        benchmark::ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred)
                continue;
            const double toNs = run.time_unit == benchmark::kNanosecond ? 1.0
                : run.time_unit == benchmark::kMicrosecond              ? 1e3
                : run.time_unit == benchmark::kMillisecond              ? 1e6
                                                                        : 1e9;
            const std::string &args = run.run_name.args;
            m_ns[run.run_name.function_name + (args.empty() ? "" : "/" + args)].push_back(
                run.GetAdjustedRealTime() * toNs);
        }
    }

    const std::vector<double> &ns(const std::string &name) { return m_ns[name]; }

private:
    std::map<std::string, std::vector<double>> m_ns;
};

double lineNs(int bytes)
{
    return bytes * 10.0 / LineBitsPerSecond * 1e9;
}

void frameRow(CollectingReporter &reporter, const std::string &name, const std::string &figure,
              int frameBytes)
{
    const std::vector<double> &runs = reporter.ns(name);
    const double value = bench::median(runs);
    const double wire = lineNs(frameBytes);
    bench::Row row;
    row.bench = "codec";
    row.figure = figure + " ns/frame";
    row.value = bench::format(value, 1);
    row.spread = bench::spread(runs, 1);
    row.baseline = bench::format(wire, 0) + " (wire)";
    row.ratio = bench::format(value / wire, 5);
    row.goal = "< 1000 ns";
    row.met = bench::yesNo(value < 1000.0);
    bench::printRow(row);
}

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const std::string request = " (" + std::to_string(RequestFrame.length) + " B)";
    const std::string answer = " (" + std::to_string(AnswerFrame.length) + " B)";
    frameRow(reporter, "encodeRequest", "encode request" + request, RequestFrame.length);
    frameRow(reporter, "encodeCountsAnswer", "encode counts answer" + answer, AnswerFrame.length);
    frameRow(reporter, "decodeRequest", "decode request", RequestFrame.length);
    frameRow(reporter, "decodeCountsAnswer", "decode counts answer", AnswerFrame.length);
    frameRow(reporter, "receiveCountsAnswer", "receive counts answer byte-wise",
             AnswerFrame.length);

    for (const int length : {19, 255}) {
        const std::vector<double> &runs = reporter.ns("crc/" + std::to_string(length));
        std::vector<double> mbps;
        for (double ns : runs)
            mbps.push_back(length / ns * 1e3);
        bench::Row row;
        row.bench = "codec";
        row.figure = "CRC over " + std::to_string(length) + " B, MB/s";
        row.value = bench::format(bench::median(mbps), 0);
        row.spread = bench::spread(mbps, 0);
        row.baseline = "0.05 (wire)";
        row.ratio = bench::format(bench::median(mbps) / 0.05, 0) + "x faster";
        bench::printRow(row);
    }
    return 0;
}
