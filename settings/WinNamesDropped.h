// Drops the macros of <windows.h> that would rewrite fw's own registry
// constants of the same names (settings/Registry.h). A file that needs both
// takes what it needs of the platform's first, includes this, and only then
// fw's headers; inside namespace fw the plain names are fw's, the platform's
// are spelt ::HKEY, ::DWORD and so on. No include guard: it only undefines.
#undef HKEY_CLASSES_ROOT
#undef HKEY_CURRENT_USER
#undef HKEY_LOCAL_MACHINE
#undef HKEY_USERS
#undef ERROR_SUCCESS
#undef ERROR_FILE_NOT_FOUND
#undef ERROR_ACCESS_DENIED
#undef ERROR_INVALID_HANDLE
#undef ERROR_WRITE_FAULT
#undef ERROR_MORE_DATA
#undef ERROR_NO_MORE_ITEMS
#undef REG_NONE
#undef REG_SZ
#undef REG_EXPAND_SZ
#undef REG_BINARY
#undef REG_DWORD
#undef REG_MULTI_SZ
#undef KEY_QUERY_VALUE
