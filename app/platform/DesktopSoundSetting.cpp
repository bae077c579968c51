// DesktopSoundSetting: GSettings lookups that never abort on a missing schema.
#include "platform/DesktopSoundSetting.h"

#include <gio/gio.h>

namespace vantorelle {

std::optional<bool> readGSettingsBoolean(const char* schemaId, const char* key)
{
    // g_settings_new() aborts the process for a schema that is not installed: look it up first.
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    if (!source) {
        return std::nullopt;
    }
    GSettingsSchema* schema = g_settings_schema_source_lookup(source, schemaId, TRUE);
    if (!schema) {
        return std::nullopt;
    }
    std::optional<bool> value;
    if (g_settings_schema_has_key(schema, key)) {
        GSettings* settings = g_settings_new_full(schema, nullptr, nullptr);
        value = g_settings_get_boolean(settings, key);
        g_object_unref(settings);
    }
    g_settings_schema_unref(schema);
    return value;
}

} // namespace vantorelle
