// The command dialogue as serveClient holds it: a client's bytes arrive in
// chunks of at most one receive, each split into lines and answered, until
// a line ends the connection. Replies go to a transcript instead of a socket.
#include <vector>
#include "fuzz_entries.h"
#include "fuzz_input.h"
#include "protocol.h"
#include "server_state.h"

namespace {

struct LineTranscript : ReplySink {
    std::vector<std::string> sends;
    bool send(const std::string& text) override {
        sends.push_back(text);
        return true;
    }
};

const char* const FirstHelpText = "<<< COMMAND LIST >>>\n";
constexpr size_t HelpTextCount = 7;

// A table of up to three markers whose names are single words (as the
// catalogue's are) and whose numbers may be anything a detection could leave.
ResultTable decodeTable(FuzzInput& in) {
    ResultTable table(in.byte() % 4);
    for (MarkerResult& result : table) {
        std::string name = in.bytes(in.byte() % 16);
        for (char& c : name) {
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') c = '_';
        }
        result.name = name;
        result.px = in.rawDouble();
        result.py = in.rawDouble();
        result.dx = in.rawDouble();
        result.X = in.rawDouble();
        result.cf = in.rawDouble();
        result.glMatrix[0] = in.rawDouble();
        result.vertex[0][0] = in.rawDouble();
        result.area = static_cast<int32_t>(static_cast<uint32_t>(in.word()) * 0x10001u);
    }
    return table;
}

DataFormat decodeFormat(uint8_t bits) {
    DataFormat format;
    for (int i = 0; i < REPORT_FIELD_COUNT; ++i) format.*REPORT_FIELDS[i].check = (bits >> i) & 1;
    return format;
}

// A report is "Num= n\n" and n lines, none longer than a report line may be
// before its line end.
std::string checkReport(const std::string& text, size_t tableSize) {
    if (text.compare(0, 5, "Num= ") != 0) return "a report does not begin with \"Num= \"";
    size_t end = text.find('\n');
    if (end == std::string::npos) return "a report header has no line end";
    const std::string number = text.substr(5, end - 5);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos)
        return "a report header does not give a count";
    const size_t count = std::stoul(number);
    if (count > tableSize) return "a report counts more markers than the table holds";
    size_t lines = 0;
    for (size_t begin = end + 1; begin < text.size(); begin = end + 1) {
        end = text.find('\n', begin);
        if (end == std::string::npos) return "a report line has no line end";
        if (end - begin > REPORT_LINE_MAX) return "a report line is longer than REPORT_LINE_MAX";
        ++lines;
    }
    if (lines != count) return "a report's line count differs from its header";
    return "";
}

// What one command line may be answered with.
std::string checkReply(const std::vector<std::string>& sends, int result, size_t tableSize) {
    if (result == -1) {
        return sends.size() == 1 && sends[0] == "*ok\n" ? "" : "a closing command was not answered \"*ok\"";
    }
    if (result != 0) return "interpretCommand returned neither 0 nor -1";
    if (sends.size() == HelpTextCount && sends[0] == FirstHelpText && sends.back() == "\n") return "";
    if (sends.size() != 1) return "a command was answered with an unexpected number of sends";
    if (sends[0] == "*error\n") return "";
    return checkReport(sends[0], tableSize);
}

std::string checkSplit(const std::string& chunk, const std::vector<std::string>& lines) {
    std::string joined;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].find('\n') != std::string::npos) return "a split line still holds a line feed";
        if (i > 0) joined += '\n';
        joined += lines[i];
    }
    std::string expected = chunk;
    if (!expected.empty() && expected.back() == '\n') expected.pop_back();
    return joined == expected ? "" : "splitChunk lost or changed bytes of its chunk";
}

}  // namespace

std::string fuzzCommandDialogue(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const DataFormat format = decodeFormat(in.byte());
    const ResultTable table = decodeTable(in);
    publishResults(table);
    while (in.remaining() > 0) {
        const std::string chunk = in.bytes(Network::RECEIVE_MAX_BYTES);
        const std::vector<std::string> lines = splitChunk(chunk);
        if (std::string problem = checkSplit(chunk, lines); !problem.empty()) return problem;
        for (const std::string& line : lines) {
            LineTranscript transcript;
            const int result = interpretCommand(line, transcript, format);
            if (std::string problem = checkReply(transcript.sends, result, table.size()); !problem.empty())
                return problem;
            if (result < 0) return "";
        }
    }
    return "";
}
