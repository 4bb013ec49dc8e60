// Export macro of libtalon: the library is built with hidden visibility, and
// exactly the declarations marked TALON_EXPORT form its dynamic interface.

#ifndef BASE_EXPORT_H_
#define BASE_EXPORT_H_

// Gives a declaration default visibility: a class's virtual table, type
// information and out-of-line members, or a function, become part of
// libtalon.so's interface (and of system/libtalon.exports, checked by a test).
#define TALON_EXPORT __attribute__((visibility("default")))

#endif  // BASE_EXPORT_H_
