// The device's system-property store, as the platform's libcutils offers it.
//
// On the device the platform's libcutils provides property_get. This host
// stand-in reads the file named by the environment variable SIM_PROPERTIES on
// every call: one "key=value" per line, blanks around key and value ignored,
// lines whose first non-blank character is '#' are comments, and a key given
// twice takes its last value. An unset SIM_PROPERTIES, a missing file or a key
// that is not in it reads as unset.
//
// Threading: property_get may be called from any thread.

#ifndef CUTILS_PROPERTIES_H_
#define CUTILS_PROPERTIES_H_

#ifdef __cplusplus
extern "C" {
#endif

// Longest property value, including its terminating NUL.
#define PROPERTY_VALUE_MAX 92

// Copies the value of `key` into `value` (PROPERTY_VALUE_MAX bytes), cut to
// PROPERTY_VALUE_MAX - 1 bytes and NUL-terminated. An unset or empty property
// yields `default_value` (cut the same way; null reads as ""). Returns the
// length of the text written.
__attribute__((visibility("default"))) int property_get(const char* key, char* value,
                                                        const char* default_value);

#ifdef __cplusplus
}
#endif

#endif  // CUTILS_PROPERTIES_H_
