// Export macro of libtalon: the library is built with hidden visibility, and
// exactly the declarations marked TALON_EXPORT form its dynamic interface.

#ifndef BASE_EXPORT_H_
#define BASE_EXPORT_H_

#define TALON_EXPORT __attribute__((visibility("default")))

#endif  // BASE_EXPORT_H_
