// The readers of the settings and catalogue files, through real files under
// Data/: whatever a file holds, what is read must be usable by the dialog,
// and writing it back and reading that again must change nothing more.
#include <algorithm>
#include <fstream>
#include <sstream>
#include "catalogue.h"
#include "config.h"
#include "fuzz_entries.h"

namespace {

const char* const ConfigPath = "Data/config.txt";
const char* const PatternListPath = "Data/pattern_list.txt";

bool writeBytes(const char* path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return static_cast<bool>(out);
}

std::string fileBytes(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// What the dialog's controls rely on after reading.
std::string checkNormalized(const Settings& s) {
    if (s.maxCameraNum < 1 || s.maxCameraNum > MaxCameraNumLimit) return "maxCameraNum out of range";
    if (s.cameraSelected < 0 || s.cameraSelected >= s.maxCameraNum) return "cameraSelected out of range";
    if (s.imageSizeSelected != 0 && !selectedImageSize(s)) return "imageSizeSelected out of range";
    if (s.dataFlow != 0 && s.dataFlow != 1) return "dataFlow neither 0 nor 1";
    std::vector<int> switches = {s.checkPreview};
    for (const ReportField& field : REPORT_FIELDS) switches.push_back(s.format.*field.check);
    for (int v : switches) {
        if (v != 0 && v != 1) return "a report switch neither 0 nor 1";
    }
    if (!(s.defaultPatternWidth > 0.0)) return "defaultPatternWidth not positive";
    return "";
}

std::string checkCatalogue(const Catalogue& catalogue) {
    for (size_t i = 0; i < catalogue.size(); ++i) {
        const PatternEntry& entry = catalogue[i];
        if (entry.index != static_cast<int>(i)) return "an entry's index is not its row";
        if (entry.path != patternFilePath(entry.index)) return "an entry's path is not that of its number";
        // A name with a comma is kept on loading (with a message naming its
        // line), so only the one-word rule must hold for every entry.
        std::string word = entry.name;
        std::replace(word.begin(), word.end(), ',', '_');
        if (patternNameProblem(word)) return "an entry's name cannot be stored";
    }
    return "";
}

}  // namespace

// A refused value is skipped alone: one more refusal at the end of any
// file changes no setting and adds exactly one message.
std::string checkSkipAlone(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Settings plain, typo;
    std::istringstream plainIn(text), typoIn(text + "\n[CheckPos3d] yes\n");
    const std::vector<std::string> plainMessages = readConfig(plainIn, plain);
    const std::vector<std::string> typoMessages = readConfig(typoIn, typo);
    if (typoMessages.size() != plainMessages.size() + 1) return "a refused value did not give exactly one message";
    if (std::none_of(typoMessages.begin(), typoMessages.end(), [](const std::string& message) {
            return message.rfind("[CheckPos3d] yes is refused", 0) == 0;
        }))
        return "a refusal does not name key and value";
    std::ostringstream plainText, typoText;
    writeConfig(plainText, plain);
    writeConfig(typoText, typo);
    return plainText.str() == typoText.str() ? "" : "a refused value changed another setting";
}

std::string fuzzConfigFile(const uint8_t* data, size_t size) {
    if (std::string problem = checkSkipAlone(data, size); !problem.empty()) return problem;
    if (!writeBytes(ConfigPath, data, size)) return "cannot write Data/config.txt";
    Settings settings;
    std::vector<std::string> refused;
    if (LoadConfig(settings, &refused) != 0) return "LoadConfig refused an existing file";
    for (const std::string& message : refused)
        if (message.rfind("Data/config.txt: [", 0) != 0) return "a refusal does not begin with the file and the key";
    if (std::string problem = checkNormalized(settings); !problem.empty()) return problem;
    if (SaveConfig(settings) != 0) return "SaveConfig failed";
    const std::string written = fileBytes(ConfigPath);
    Settings again;
    refused.clear();
    if (LoadConfig(again, &refused) != 0) return "LoadConfig refused its own file";
    // Unknown keys are kept in the file on purpose, so they are named again.
    for (const std::string& message : refused)
        if (message.find(" is not a key of this file") == std::string::npos)
            return "a value written by SaveConfig is refused on reading: " + message;
    if (SaveConfig(again) != 0) return "SaveConfig failed";
    return fileBytes(ConfigPath) == written ? "" : "settings changed between a write and a read of the written file";
}

std::string fuzzCatalogueFile(const uint8_t* data, size_t size) {
    if (!writeBytes(PatternListPath, data, size)) return "cannot write Data/pattern_list.txt";
    Catalogue catalogue;
    if (LoadPatternList(catalogue) != 0) return "LoadPatternList refused an existing file";
    if (std::string problem = checkCatalogue(catalogue); !problem.empty()) return problem;
    if (SavePatternList(catalogue) != 0) return "SavePatternList failed";
    const std::string written = fileBytes(PatternListPath);
    Catalogue again;
    if (LoadPatternList(again) != 0) return "LoadPatternList refused its own file";
    if (again.size() != catalogue.size()) return "entries were lost between a write and a read of the written file";
    if (SavePatternList(again) != 0) return "SavePatternList failed";
    return fileBytes(PatternListPath) == written ? ""
                                                 : "the catalogue changed between a write and a read of the written file";
}
