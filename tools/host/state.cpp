#include "tools/host/state.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/file.h"

namespace host {

bool saveState(VstHost& h, const std::string& path, std::string& error) {
    AEffect* e = h.effect();
    if (!e) {
        error = "no plug-in instance";
        return false;
    }
    std::ostringstream out;
    out << "# corvella-host state: program name and parameter values\n";
    out << "program " << h.dispatchText(effGetProgramName) << '\n';
    char number[32];
    for (VstInt32 i = 0; i < e->numParams; ++i) {
        // Nine significant digits give every float back exactly.
        std::snprintf(number, sizeof number, "%.9g", static_cast<double>(h.getParameter(i)));
        out << "param " << i << ' ' << number << '\n';
    }
    std::string reason;
    if (platform::saveFile(path, out.str(), reason)) return true;
    error = "cannot write " + path + ": " + reason;
    return false;
}

bool loadState(VstHost& h, const std::string& path, std::string& error) {
    AEffect* e = h.effect();
    if (!e) {
        error = "no plug-in instance";
        return false;
    }
    // A directory opens as a stream on some systems and reads as empty: only a regular file
    // (or a link to one) is a state.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        error =
            "cannot read " + path + ": " + (ec ? ec.message() : std::string("not a regular file"));
        return false;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot read " + path;
        return false;
    }
    std::string line, programName;
    bool haveName = false;
    std::vector<std::pair<VstInt32, float>> values;
    int lineNo = 0;
    while (std::getline(file, line)) {
        ++lineNo;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find('\0') != std::string::npos) {
            error = path + ":" + std::to_string(lineNo) + ": a NUL byte inside the line";
            return false;
        }
        if (line.empty() || line[0] == '#') continue;
        if (line.rfind("program ", 0) == 0) {
            programName = line.substr(8);
            haveName = true;
            continue;
        }
        std::istringstream in(line);
        std::string word, valueText;
        long index = -1;
        in >> word >> index >> valueText;
        char* end = nullptr;
        const double v = std::strtod(valueText.c_str(), &end);
        std::string rest;
        if (word != "param" || !in.eof() || index < 0 || index >= e->numParams ||
            valueText.empty() || *end != '\0' || (in >> rest)) {
            error = path + ":" + std::to_string(lineNo) + ": not a state line: " + line;
            return false;
        }
        values.emplace_back(static_cast<VstInt32>(index), static_cast<float>(v));
    }
    if (file.bad()) {
        error = "cannot read " + path + " to its end";
        return false;
    }
    for (const auto& [index, v] : values) h.setParameter(index, v);
    if (haveName) {
        std::vector<char> name(programName.begin(), programName.end());
        name.resize(std::max<std::size_t>(name.size() + 1, 64), '\0');
        h.dispatch(effSetProgramName, 0, 0, name.data());
    }
    return true;
}

}  // namespace host
