// Prints what the end-to-end tests must know of the program, as JSON, straight from its
// own headers: control ids, status texts, registry names, the layout table in pixels at the
// screen densities the tests use (converted as the window converts it), the tray tip, the
// version and the longest wait for a download.

#include <cstdio>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "app/app_core.h"
#include "platform/http.h"
#include "platform/main_window.h"
#include "platform/managed_settings.h"
#include "resources/resource_ids.h"
#include "timeservice/time_service.h"
#include "ui/main_form.h"
#include "ui/main_window_layout.h"
#include "win32/program/names.h"
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

constexpr int kDpis[] = {96, 120, 144};

// {"96": ..., "120": ..., "144": ...} with what each density gives.
template <typename PerDpi>
std::string ByDpi(PerDpi perDpi) {
    std::string out = "{";
    for (const int dpi : kDpis) {
        char key[32];
        std::snprintf(key, sizeof key, "%s\"%d\": ", dpi == kDpis[0] ? "" : ", ", dpi);
        out.append(key).append(perDpi(dpi));
    }
    return out.append("}");
}

std::string List(std::initializer_list<int> numbers) {
    std::string out = "[";
    for (const int n : numbers) {
        out.append(out.size() > 1 ? ", " : "").append(std::to_string(n));
    }
    return out.append("]");
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
    Text("stepTooFar", kStepTooFar);
    Text("policyKey", kPolicyKey);
    Text("preferenceKey", kPreferenceKey);
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
    std::printf("  \"downloadLimitMs\": %u,\n", kDownloadLimitMs);
    const std::string clientSize = ByDpi([](int dpi) {
        return List(
            {TwipsToPixels(kClientWidthTwips, dpi), TwipsToPixels(kClientHeightTwips, dpi)});
    });
    std::printf("  \"clientSize\": %s,\n", clientSize.c_str());
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
        std::string font = "null";
        if (c.font.points != 0) {
            char flags[128];
            std::snprintf(flags, sizeof flags,
                          "{\"points\": %g, \"bold\": %s, \"italic\": %s, \"underline\": %s, ",
                          c.font.points, Bool(c.font.bold), Bool(c.font.italic),
                          Bool(c.font.underline));
            font = std::string(flags)
                       .append("\"height\": ")
                       .append(ByDpi([&c](int dpi) {
                           return std::to_string(FontHeightPixels(c.font.points, dpi));
                       }))
                       .append("}");
        }
        std::printf(
            "%s    {\"id\": %d, \"kind\": \"%s\", \"text\": %s, \"rect\": %s, "
            "\"font\": %s, \"color\": %s}",
            separator, static_cast<int>(c.id), kKinds[static_cast<int>(c.kind)],
            Quoted(c.text).c_str(), ByDpi([&c](int dpi) {
                                        const PixelRect r = ControlRect(c, dpi);
                                        return List({r.left, r.top, r.width, r.height});
                                    }).c_str(),
            font.c_str(), c.textColor ? Color(*c.textColor).c_str() : "null");
        separator = ",\n";
    }
    std::printf("\n  ]\n}\n");
    return 0;
}
