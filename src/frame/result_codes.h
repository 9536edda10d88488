// The module's one table of result codes lives in the public header.
#ifndef QWF_FRAME_RESULT_CODES_H
#define QWF_FRAME_RESULT_CODES_H

#include "QuorvelWaveForm.h"

#endif
