/* A strdup that the tests can make fail, in place of the C library's own. */
#include <stdlib.h>
#include <string.h>

int vrdTestFailStrdup = 0;

char *strdup(const char *text)
{
    size_t size = strlen(text) + 1;
    char *copy = vrdTestFailStrdup ? NULL : malloc(size);
    return copy != NULL ? memcpy(copy, text, size) : NULL;
}
