/* The C headers as a C program sees them: compiled as C, called from the C API's tests. */
#include <stddef.h>
#include <string.h>

#include "quorvel/device.h"
#include "quorvel/device_testing.h"

/* The journal's lines, counted through the C calls. */
int64_t CountJournalFromC(void) {
    int64_t count = 0;
    while (qwd_journal_entry((uint64_t)count) != NULL) ++count;
    return count;
}

/* Input settings as C initialises them, configured: QWD_OK or the failure. */
qwd_result ConfigureInputFromC(const char* source) {
    qwd_input_settings settings;
    qwd_input_settings_init(&settings);
    settings.pace = QWD_PACE_FAST;
    settings.source = source;
    return qwd_configure_input(&settings);
}

/* A host built against the 2.0 layouts, and one built against a later version that added a
 * field to each struct: the library takes both, and touches nothing beyond struct_size. */
typedef struct stats_2_0 {
    uint32_t struct_size;
    uint64_t opened, closed, blocks_queued, blocks_played, bytes_played, done_messages,
        underrun_frames, idle_frames, devices_lost;
} stats_2_0;
typedef struct stats_later {
    stats_2_0 known;
    uint64_t added_later;
} stats_later;
typedef struct settings_2_0 {
    uint32_t struct_size;
    int32_t pace;
    const char* backend;
    const char* sink_file;
    int32_t sink_memory;
    const char* device;
} settings_2_0;
typedef struct settings_later {
    settings_2_0 known;
    const char* added_later;
} settings_later;

/* The library's structs keep the 2.0 fields where they were: new ones go at the end. */
_Static_assert(offsetof(qwd_output_stats, devices_lost) == offsetof(stats_2_0, devices_lost) &&
                   sizeof(qwd_output_stats) >= sizeof(stats_2_0),
               "qwd_output_stats moved a 2.0 field");
_Static_assert(offsetof(qwd_output_settings, device) == offsetof(settings_2_0, device) &&
                   sizeof(qwd_output_settings) >= sizeof(settings_2_0),
               "qwd_output_settings moved a 2.0 field");

/* NULL when the library kept to the callers' sizes, else what it did wrong. */
const char* SizedStructsFromC(void) {
    static const uint64_t kUntouched = 0x5A5A5A5A5A5A5A5Au;
    const char* untouchedText = (const char*)(uintptr_t)kUntouched; /* never to be read */
    stats_later stats;
    settings_later settings;
    memset(&stats, 0x5A, sizeof stats);
    stats.known.struct_size = (uint32_t)offsetof(stats_2_0, devices_lost) + sizeof(uint64_t);
    if (qwd_get_output_stats((qwd_output_stats*)&stats) != QWD_OK) return "2.0 stats refused";
    if (stats.known.devices_lost == kUntouched) return "2.0 stats not filled";
    if (stats.added_later != kUntouched) return "written past the 2.0 stats";
    stats.known.struct_size = sizeof stats;
    if (qwd_get_output_stats((qwd_output_stats*)&stats) != QWD_OK) return "later stats refused";
    if (stats.added_later != kUntouched) return "the later stats' new field written";
    stats.known.struct_size = (uint32_t)offsetof(stats_2_0, devices_lost);
    if (qwd_get_output_stats((qwd_output_stats*)&stats) != QWD_ERROR_ARGUMENT)
        return "stats smaller than 2.0 taken";

    memset(&settings, 0x5A, sizeof settings);
    qwd_output_settings_init((qwd_output_settings*)&settings);
    if (settings.known.struct_size != offsetof(settings_2_0, device) + sizeof(const char*))
        return "init did not give the 2.0 size";
    if (settings.added_later != untouchedText) return "init wrote past the 2.0 settings";
    settings.known.struct_size = sizeof settings;
    settings.known.backend = "virtual";
    if (qwd_configure_output((qwd_output_settings*)&settings) != QWD_OK)
        return "later settings refused";
    if (qwd_parse_output_settings("virtual,fast", (qwd_output_settings*)&settings) != QWD_OK ||
        settings.known.pace != QWD_PACE_FAST)
        return "later settings not parsed into";
    if (settings.added_later != untouchedText) return "the later settings' new field written";
    return NULL;
}
