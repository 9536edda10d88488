// The module's version data: the numbers and strings of its version resource, the ELF note and,
// read by CMakeLists.txt, the shared library's file name.
#ifndef QWF_FRAME_VERSION_INFO_H
#define QWF_FRAME_VERSION_INFO_H

#define QWF_VERSION_MAJOR 1
#define QWF_VERSION_MINOR 0
#define QWF_VERSION_PATCH 0
#define QWF_VERSION_BUILD 1
#define QWF_FILE_OS 0x4   /* 32-bit Windows */
#define QWF_FILE_TYPE 0x2 /* dynamic-link library */

#define QWF_STRINGIZE_(...) #__VA_ARGS__
#define QWF_STRINGIZE(...) QWF_STRINGIZE_(__VA_ARGS__)
#define QWF_VERSION_NUMBERS \
    QWF_VERSION_MAJOR, QWF_VERSION_MINOR, QWF_VERSION_PATCH, QWF_VERSION_BUILD
#define QWF_VERSION_STRING QWF_STRINGIZE(QWF_VERSION_NUMBERS) /* "1, 0, 0, 1" */
#define QWF_STRING_BLOCK "040904B0"
#define QWF_COMPANY_NAME ""
#define QWF_FILE_DESCRIPTION "QuorvelWaveForm DLL"
#define QWF_INTERNAL_NAME "QuorvelWaveForm"
#define QWF_LEGAL_TRADEMARKS ""
#define QWF_ORIGINAL_FILENAME "QuorvelWaveForm.DLL"
#define QWF_PRODUCT_NAME "QuorvelWaveForm Dynamic Link Library"

#endif
