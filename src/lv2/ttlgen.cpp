// Writes the bundle's Turtle from the parameter table and the editor's lists, at build time:
// manifest.ttl and corvella.ttl in the bundle directory, with the editor's X11 UI when its
// binary is named.
// usage: corvella-lv2-ttl BUNDLE_DIR BINARY_NAME [UI_BINARY_NAME]
#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "editor/form.h"
#include "host/identity.h"
#include "lv2/lv2plugin.h"
#include "lv2/portmap.h"

namespace {

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string number(double v) {
    std::ostringstream s;
    s.precision(9);
    s << v;
    std::string t = s.str();
    if (t.find_first_of(".e") == std::string::npos) t += ".0";
    return t;
}

// A port symbol from a parameter name: lower-case letters, digits and single underscores;
// repeated names get their occurrence number.
std::string symbolOf(const std::string& name, std::map<std::string, int>& seen) {
    std::string s;
    for (char c : name) {
        if (std::isalnum(static_cast<unsigned char>(c))) {
            s += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        } else if (!s.empty() && s.back() != '_') {
            s += '_';
        }
    }
    while (!s.empty() && s.back() == '_') s.pop_back();
    const int n = ++seen[s];
    return n == 1 ? s : s + "_" + std::to_string(n);
}

void writePort(std::ostream& o, int i, const std::string& symbol) {
    const ParameterInfo& p = kParameters[static_cast<std::size_t>(i)];
    const lv2port::Kind kind = lv2port::kindOf(i);
    o << "    [\n        a lv2:InputPort , lv2:ControlPort ;\n"
      << "        lv2:index " << i << " ;\n"
      << "        lv2:symbol " << quoted(symbol) << " ;\n"
      << "        lv2:name " << quoted(p.name) << " ;\n"
      << "        lv2:default " << number(lv2port::portValue(i, p.defaultValue)) << " ;\n";
    switch (kind) {
        case lv2port::Kind::Toggle:
            o << "        lv2:minimum 0.0 ;\n        lv2:maximum 1.0 ;\n"
              << "        lv2:portProperty lv2:toggled ;\n";
            break;
        case lv2port::Kind::Entry: {
            const std::vector<std::string> entries = p.encoding == Encoding::BusNumber
                                                         ? std::vector<std::string>{}
                                                         : editor::parameterEntries(i);
            int last = 255;
            if (p.encoding == Encoding::BusNumber) last = vstbus::TVstBus::busCount() - 1;
            if (!entries.empty()) last = static_cast<int>(entries.size()) - 1;
            o << "        lv2:minimum 0.0 ;\n        lv2:maximum " << number(last) << " ;\n"
              << "        lv2:portProperty lv2:integer";
            if (!entries.empty()) o << " , lv2:enumeration";
            o << " ;\n";
            for (std::size_t n = 0; n < entries.size(); ++n)
                o << "        lv2:scalePoint [ rdfs:label " << quoted(entries[n]) << " ; rdf:value "
                  << number(static_cast<double>(n)) << " ] ;\n";
            break;
        }
        case lv2port::Kind::Enumeration: {
            o << "        lv2:minimum 0.0 ;\n        lv2:maximum 1.0 ;\n"
              << "        lv2:portProperty lv2:enumeration ;\n";
            // The radio buttons' captions, in the order of their stored values.
            const double values[] = {1.0, 0.8, 0.3, 0.0};
            int n = 0;
            for (const editor::Control& c : editor::editorForm()) {
                if (c.kind != editor::Kind::Radio || n >= 4) continue;
                o << "        lv2:scalePoint [ rdfs:label " << quoted(c.caption) << " ; rdf:value "
                  << number(values[n++]) << " ] ;\n";
            }
            break;
        }
        case lv2port::Kind::Value:
            o << "        lv2:minimum 0.0 ;\n        lv2:maximum 1.0 ;\n";
            break;
    }
    o << "    ] ,\n";
}

const char* const kPrefixes =
    "@prefix atom: <http://lv2plug.in/ns/ext/atom#> .\n"
    "@prefix doap: <http://usefulinc.com/ns/doap#> .\n"
    "@prefix foaf: <http://xmlns.com/foaf/0.1/> .\n"
    "@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"
    "@prefix midi: <http://lv2plug.in/ns/ext/midi#> .\n"
    "@prefix patch: <http://lv2plug.in/ns/ext/patch#> .\n"
    "@prefix rdf: <http://www.w3.org/1999/02/22-rdf-syntax-ns#> .\n"
    "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n"
    "@prefix rsz: <http://lv2plug.in/ns/ext/resize-port#> .\n"
    "@prefix state: <http://lv2plug.in/ns/ext/state#> .\n"
    "@prefix time: <http://lv2plug.in/ns/ext/time#> .\n"
    "@prefix ui: <http://lv2plug.in/ns/extensions/ui#> .\n"
    "@prefix urid: <http://lv2plug.in/ns/ext/urid#> .\n"
    "@prefix work: <http://lv2plug.in/ns/ext/worker#> .\n\n";

std::string iri(const char* uri) {
    return std::string("<") + uri + ">";
}

void writeManifest(std::ostream& m, const std::string& binary, const std::string& uiBinary) {
    m << kPrefixes << iri(kLv2Uri) << "\n    a lv2:Plugin , lv2:MIDIPlugin ;\n"
      << "    lv2:binary <" << binary << "> ;\n"
      << "    rdfs:seeAlso <corvella.ttl> .\n";
    if (!uiBinary.empty()) {
        m << "\n"
          << iri(lv2ui::kUiUri) << "\n    a ui:X11UI ;\n"
          << "    ui:binary <" << uiBinary << "> ;\n"
          << "    rdfs:seeAlso <corvella.ttl> .\n";
    }
}

// The MIDI input (which also carries the editor's messages), the MIDI output and the notify
// output, then the two names a generic host UI offers: a file chooser and a text.
void writeAtomPorts(std::ostream& o) {
    o << "    [\n        a lv2:InputPort , atom:AtomPort ;\n"
      << "        atom:bufferType atom:Sequence ;\n"
      << "        atom:supports midi:MidiEvent , time:Position , patch:Message ;\n"
      << "        lv2:designation lv2:control ;\n"
      << "        lv2:index " << kMidiInPort << " ;\n"
      << "        lv2:symbol \"midi_in\" ;\n        lv2:name \"MIDI in\"\n    ] ,\n"
      << "    [\n        a lv2:OutputPort , atom:AtomPort ;\n"
      << "        atom:bufferType atom:Sequence ;\n"
      << "        atom:supports midi:MidiEvent ;\n"
      << "        lv2:index " << kMidiOutPort << " ;\n"
      << "        lv2:symbol \"midi_out\" ;\n        lv2:name \"MIDI out\"\n    ] ,\n"
      << "    [\n        a lv2:OutputPort , atom:AtomPort ;\n"
      << "        atom:bufferType atom:Sequence ;\n"
      << "        atom:supports patch:Message ;\n"
      << "        lv2:designation lv2:control ;\n"
      << "        lv2:portProperty lv2:connectionOptional ;\n"
      << "        rsz:minimumSize 16384 ;\n"
      << "        lv2:index " << kNotifyPort << " ;\n"
      << "        lv2:symbol \"notify\" ;\n        lv2:name \"Notify\"\n    ] .\n\n"
      << iri(lv2ui::kLogFile) << "\n    a lv2:Parameter ;\n    rdfs:label \"log file\" ;\n"
      << "    rdfs:range atom:Path .\n\n"
      << iri(lv2ui::kTrackName) << "\n    a lv2:Parameter ;\n    rdfs:label \"track name\" ;\n"
      << "    rdfs:range atom:String .\n";
}

// The editor hears the notify output's messages and every control port's value.
void writeUi(std::ostream& o, const std::vector<std::string>& symbols) {
    const std::string uri = iri(kLv2Uri);
    o << "\n"
      << iri(lv2ui::kUiUri) << "\n    a ui:X11UI ;\n"
      << "    lv2:requiredFeature urid:map , ui:parent , ui:idleInterface ;\n"
      << "    lv2:optionalFeature ui:resize , ui:touch ;\n"
      << "    lv2:extensionData ui:idleInterface ;\n"
      << "    ui:portNotification [\n        ui:plugin " << uri
      << " ;\n        lv2:symbol \"notify\" ;\n        ui:protocol atom:eventTransfer\n    ]";
    for (const std::string& symbol : symbols)
        o << " , [\n        ui:plugin " << uri << " ;\n        lv2:symbol " << quoted(symbol)
          << " ;\n        ui:protocol ui:floatProtocol\n    ]";
    o << " .\n";
}

void writePlugin(std::ostream& o, bool withUi) {
    o << kPrefixes << iri(kLv2Uri) << "\n    a lv2:Plugin , lv2:MIDIPlugin , doap:Project ;\n"
      << "    doap:name " << quoted(kEffectName) << " ;\n"
      << "    doap:maintainer [ foaf:name " << quoted(kVendorName) << " ] ;\n"
      << "    lv2:minorVersion 0 ;\n    lv2:microVersion 1 ;\n"
      << "    lv2:requiredFeature urid:map , work:schedule ;\n"
      << "    lv2:optionalFeature lv2:hardRTCapable ;\n"
      << "    lv2:extensionData work:interface , state:interface ;\n"
      << "    patch:writable " << iri(lv2ui::kLogFile) << " , " << iri(lv2ui::kTrackName) << " ;\n";
    if (withUi) o << "    ui:ui " << iri(lv2ui::kUiUri) << " ;\n";
    o << "    lv2:port\n";
    std::map<std::string, int> seen;
    std::vector<std::string> symbols;
    for (int i = 0; i < kNumParams; ++i) {
        symbols.push_back(symbolOf(kParameters[static_cast<std::size_t>(i)].name, seen));
        writePort(o, i, symbols.back());
    }
    writeAtomPorts(o);
    if (withUi) writeUi(o, symbols);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: %s BUNDLE_DIR BINARY_NAME [UI_BINARY_NAME]\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const std::string uiBinary = argc == 4 ? argv[3] : "";
    std::ofstream manifest(dir + "/manifest.ttl");
    writeManifest(manifest, argv[2], uiBinary);
    std::ofstream o(dir + "/corvella.ttl");
    writePlugin(o, !uiBinary.empty());
    o.close();
    manifest.close();
    return o && manifest ? 0 : 1;
}
