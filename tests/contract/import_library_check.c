/* A setup program linked against the import library, calling both exports
 * the way the header declares them. A NULL directory is refused at once
 * without touching the machine, so the check changes nothing. */
#include <stdio.h>

#include "VtPostInstall.h"

int main(void) {
    const int installer = VT_installer(1, NULL, 0);
    const int helper = IDLL_helper(NULL, 1, 0);
    printf("VT_installer(1, NULL, 0) = %d\nIDLL_helper(NULL, 1, 0) = %d\n", installer, helper);
    return installer == -1 && helper == -1 ? 0 : 1;
}
