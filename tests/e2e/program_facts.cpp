// Prints what the end-to-end tests must know of the program, as JSON, straight from its
// own headers: control ids, status texts, registry names, the layout table, the tray tip,
// the version.

#include <cstdio>
#include <string>
#include <string_view>
#include <utility>

#include "app/app_core.h"
#include "platform/main_window.h"
#include "resources/resource_ids.h"
#include "timeservice/time_service.h"
#include "ui/main_form.h"
#include "ui/main_window_layout.h"
#include "win32/names.h"
#include "zelmora_version.h"

namespace {

std::string Quoted(std::string_view text) {
    std::string out(1, '"');
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

std::string Color(Rgb c) {
    char text[32];
    std::snprintf(text, sizeof text, "[%d, %d, %d]", c.r, c.g, c.b);
    return text;
}

const char* Bool(bool value) {
    return value ? "true" : "false";
}

void Text(const char* name, std::string_view value) {
    std::printf("  %s: %s,\n", Quoted(name).c_str(), Quoted(value).c_str());
}

}  // namespace

int main() {
    // In the order of ControlKind.
    const char* const kKinds[] = {"frame", "check", "text",   "label",
                                  "label", "link",  "button", "picture"};
    std::printf("{\n  \"ids\": {");
    const std::pair<const char*, int> ids[] = {
#define ID(enumeration, name) {#name, static_cast<int>(enumeration::name)}
        ID(ControlId, Frame2),       ID(ControlId, chkAutoRun), ID(ControlId, txtInterval),
        ID(ControlId, chkAuto),      ID(ControlId, lblAuto),    ID(ControlId, cmdSynchronize),
        ID(ControlId, cmdCheckTime), ID(ControlId, lblTime),    ID(ControlId, Label4),
        ID(ControlId, Label2),       ID(ControlId, Image1),     ID(ControlId, lblVersion),
        ID(ControlId, lblWebsite),   ID(ControlId, lblReadme),  ID(ControlId, lblInfo),
        ID(MenuId, mnuRestore),      ID(MenuId, mnuExit),
#undef ID
    };
    const char* separator = "";
    for (const auto& [name, id] : ids) {
        std::printf("%s%s: %d", separator, Quoted(name).c_str(), id);
        separator = ", ";
    }
    std::printf("},\n");
    Text("ready", kReady);
    Text("gettingTime", kGettingTime);
    Text("timeOk", kTimeOk);
    Text("inaccuratePrefix", kInaccuratePrefix);
    Text("inaccurateSuffix", kInaccurateSuffix);
    Text("updatedPrefix", kUpdatedPrefix);
    Text("updatedSuffix", kUpdatedSuffix);
    Text("cannotGetTime", kCannotGetTime);
    Text("cannotSetTime", kCannotSetTime);
    Text("exitQuestion", kExitQuestion);
    Text("trayTip", ZELMORA_PRODUCT_NAME);
    Text("appName", kAppName);
    Text("section", kSection);
    Text("runSubkey", kRunSubkey);
    Text("runValueName", kRunValueName);
    Text("exeName", kExeName);
    Text("fontFace", kFontFace);
    Text("mainWindowClass", kMainWindowClass);
    Text("title", kTitle);
    Text("settingsRoot", kSettingsRoot);
    Text("versionText", ZELMORA_VERSION_TEXT);
    std::printf("  \"clientTwips\": [%d, %d],\n", kClientWidthTwips, kClientHeightTwips);
    std::printf("  \"windowBackground\": %s, \"buttonFace\": %s, \"linkRed\": %s,\n",
                Color(kWindowBackground).c_str(), Color(kButtonFace).c_str(),
                Color(kLinkRed).c_str());
    std::printf("  \"tabOrder\": [");
    separator = "";
    for (const ControlId id : kTabOrder) {
        std::printf("%s%d", separator, static_cast<int>(id));
        separator = ", ";
    }
    std::printf("],\n  \"controls\": [\n");
    separator = "";
    for (const ControlSpec& c : kMainWindowControls) {
        char font[128] = "null";
        if (c.font.points != 0) {
            std::snprintf(font, sizeof font,
                          "{\"points\": %g, \"bold\": %s, \"italic\": %s, \"underline\": %s}",
                          c.font.points, Bool(c.font.bold), Bool(c.font.italic),
                          Bool(c.font.underline));
        }
        std::printf(
            "%s    {\"id\": %d, \"kind\": \"%s\", \"text\": %s, \"left\": %d, \"top\": %d, "
            "\"width\": %d, \"height\": %d, \"in_frame\": %s, \"font\": %s, \"color\": %s}",
            separator, static_cast<int>(c.id), kKinds[static_cast<int>(c.kind)],
            Quoted(c.text).c_str(), c.twips.left, c.twips.top, c.twips.width, c.twips.height,
            Bool(c.parent == Parent::InFrame2), font,
            c.textColor ? Color(*c.textColor).c_str() : "null");
        separator = ",\n";
    }
    std::printf("\n  ]\n}\n");
    return 0;
}
