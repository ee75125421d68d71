# The 32-bit x86 build: g++ -m32 against Debian's i386 libraries (multiarch).
# Its executables run here under QEMU's user-mode emulator, which
# scripts/install-deps.sh registers for i386 executables.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_ASM_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# Only i386 libraries; ext2fs has no i386 development package that can stand
# beside the 64-bit one, so its description comes from beside this file.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig:${CMAKE_CURRENT_LIST_DIR}/i386-pkgconfig")
