#include "Tavrel/gst/CameraCaps.h"

#include <array>
#include <cstdio>
#include <string_view>

namespace Norvane::Tavrel::gst {

namespace {

constexpr std::array kExactFields = {
    std::string_view("a-tool"),     std::string_view("a-type"),     std::string_view("a-ts-refclk"),
    std::string_view("a-mediaclk"), std::string_view("clock-base"), std::string_view("seqnum-base"),
    std::string_view("onvif-mode")};
constexpr std::array kPrefixes = {std::string_view("x-"), std::string_view("npt-"),
                                  std::string_view("play-")};

constexpr guint8 kNalTypeSps = 7;

}  // namespace

std::optional<std::string> H264ProfileLevelId(std::string_view spropParameterSets) {
    std::string_view rest = spropParameterSets;
    while (!rest.empty()) {
        const auto comma = rest.find(',');
        const std::string set(rest.substr(0, comma));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        if (set.empty())
            continue;
        gsize length = 0;
        guchar* nal = g_base64_decode(set.c_str(), &length);
        std::optional<std::string> result;
        if (nal && length >= 4 && (nal[0] & 0x1f) == kNalTypeSps) {
            char hex[7];
            std::snprintf(hex, sizeof hex, "%02x%02x%02x", nal[1], nal[2], nal[3]);
            result = hex;
        }
        g_free(nal);
        if (result)
            return result;
    }
    return std::nullopt;
}

bool IsCameraSessionField(std::string_view field) {
    for (const auto exact : kExactFields) {
        if (field == exact)
            return true;
    }
    for (const auto prefix : kPrefixes) {
        if (field.starts_with(prefix))
            return true;
    }
    return field.starts_with("ssrc-") && field.ends_with("-cname");
}

GstCaps* CleanCameraCaps(const GstCaps* caps) {
    GstCaps* clean = gst_caps_copy(caps);
    const guint size = gst_caps_get_size(clean);
    for (guint i = 0; i < size; ++i) {
        GstStructure* s = gst_caps_get_structure(clean, i);
        gst_structure_filter_and_map_in_place(
            s,
            [](GQuark field, GValue*, gpointer) -> gboolean {
                return !IsCameraSessionField(g_quark_to_string(field));
            },
            nullptr);
        const gchar* encoding = gst_structure_get_string(s, "encoding-name");
        const gchar* sprop = gst_structure_get_string(s, "sprop-parameter-sets");
        if (encoding && g_ascii_strcasecmp(encoding, "H264") == 0 && sprop &&
            !gst_structure_has_field(s, "profile-level-id")) {
            if (const auto id = H264ProfileLevelId(sprop))
                gst_structure_set(s, "profile-level-id", G_TYPE_STRING, id->c_str(), nullptr);
        }
    }
    return clean;
}

}  // namespace Norvane::Tavrel::gst
