/* The C headers as a C program sees them: compiled as C, called from the C API's tests. */
#include <stddef.h>

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
