// Header lines hold numbers written with a decimal point whatever locale the
// process has chosen: the reentrant calls read and write them in the C
// locale, switched for the calling thread alone while one object lives.
#ifndef VRD_CLOCALE_INTERNAL_H
#define VRD_CLOCALE_INTERNAL_H

#include <locale.h>
#include <pthread.h>

namespace vrdpriv {

class CLocale {
public:
    CLocale()
    {
        // Made once with pthread_once, not a function's static, which would
        // need the C++ run time that C programs linking the library lack.
        static pthread_once_t once = PTHREAD_ONCE_INIT;
        pthread_once(&once, [] { cLocale() = newlocale(LC_ALL_MASK, "C", locale_t(0)); });
        if (cLocale() != locale_t(0))
            before_ = uselocale(cLocale());
    }
    ~CLocale()
    {
        if (before_ != locale_t(0))
            uselocale(before_);
    }
    CLocale(const CLocale &) = delete;
    CLocale &operator=(const CLocale &) = delete;

private:
    static locale_t &cLocale()
    {
        static locale_t c = locale_t(0); // constant-initialised: no guard
        return c;
    }
    locale_t before_ = locale_t(0);
};

} // namespace vrdpriv

#endif
