// dll_search_control: loads a DLL by bare name the way an unprotected program (or an ordinary
// import) does, with the program's own folder searched first. It shows that a DLL planted
// beside a program is really picked up here, so that the stub's not picking it up means
// something.   dll_search_control NAME.dll   -> exit 0 when the load succeeded
#include <windows.h>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) return 2;
    return LoadLibraryW(argv[1]) ? 0 : 1;
}
