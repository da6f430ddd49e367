// cfgrestore: puts the stored engine configuration back in place as the live
// one. It is silent and always exits 0, whatever the copy's outcome: scripts
// and shortcuts that start it rely on exactly that.
#include <windows.h>

int main()
{
    (void)CopyFileA("idapi32.cf_", "idapi32.cfg", FALSE);
    return 0;
}
