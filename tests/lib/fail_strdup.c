/* A strdup that the tests can make fail, to reach the library's handling of
   a failed string copy. It takes the place of the C library's own in this
   test program. */
#include <stdlib.h>
#include <string.h>

int vrdTestFailStrdup = 0;

char *strdup(const char *text)
{
    if (vrdTestFailStrdup)
        return NULL;
    size_t size = strlen(text) + 1;
    char *copy = malloc(size);
    if (copy != NULL)
        memcpy(copy, text, size);
    return copy;
}
