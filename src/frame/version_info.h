// The module's version data: the numbers and strings of its version resource.
#ifndef QWF_FRAME_VERSION_INFO_H
#define QWF_FRAME_VERSION_INFO_H

#define QWF_VERSION_NUMBERS 1, 0, 0, 1
#define QWF_VERSION_STRING "1, 0, 0, 1"
#define QWF_FILE_OS 0x4L   /* 32-bit Windows */
#define QWF_FILE_TYPE 0x2L /* dynamic-link library */
#define QWF_STRING_BLOCK "040904B0"
#define QWF_COMPANY_NAME ""
#define QWF_FILE_DESCRIPTION "QuorvelWaveForm DLL"
#define QWF_INTERNAL_NAME "QuorvelWaveForm"
#define QWF_LEGAL_TRADEMARKS ""
#define QWF_ORIGINAL_FILENAME "QuorvelWaveForm.DLL"
#define QWF_PRODUCT_NAME "QuorvelWaveForm Dynamic Link Library"

#endif
