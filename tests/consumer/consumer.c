/* A program outside the hiddfu build that uses the installed library: prints
 * the version hidDfuGetVersion reports, as `hiddfu version` shows it. */
#include <hiddfu/HidDfu.h>
#include <stdio.h>

int main(void)
{
    uint16 major = 0, minor = 0, release = 0, build = 0;
    if (hidDfuGetVersion(&major, &minor, &release, &build) != HIDDFU_SUCCESS)
        return 1;
    printf("%u.%u.%u (%u)\n", major, minor, release, build);
    return 0;
}
