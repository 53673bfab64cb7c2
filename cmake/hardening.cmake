# Hardening of everything built here: the libraries, the handler and the
# programs around them. On by default, so that a plain build is the one to
# ship; MPREAD_HARDEN=OFF gives the compiler's defaults.
option(MPREAD_HARDEN "Stack protector, fortified libc calls, full RELRO, PIE" ON)
if(NOT MPREAD_HARDEN)
  return()
endif()

include(CheckPIESupported)
include(CheckCCompilerFlag)

if(NOT MPREAD_SANITIZE)
  # The sanitizers instrument the same accesses themselves, and their
  # interceptors do not mix with the fortified variants.
  add_compile_options(-fstack-protector-strong)
  # Only where the compiler probes the stack for this target; elsewhere it
  # would say so in a warning, which CI turns into an error.
  check_c_compiler_flag(-fstack-clash-protection MPREAD_HAVE_STACK_CLASH)
  if(MPREAD_HAVE_STACK_CLASH)
    add_compile_options(-fstack-clash-protection)
  endif()
  # glibc's checks need the optimiser, and a toolchain may define its own
  # level already.
  add_compile_options($<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE>
                      $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
endif()

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64|i[3-6]86|x86)$")
  add_compile_options(-fcf-protection)
endif()

# Full RELRO: every relocation resolved at load, then the tables read-only.
# Not on MIPS: its GOT lies outside the read-only region, which would cover
# only .init_array and .fini_array (8 bytes), yet the linker pads the file to
# put that region's end on a 64 KiB page: 11 KiB libraries become 66 KiB.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^mips")
  add_link_options(-Wl,-z,now)
else()
  add_link_options(-Wl,-z,relro,-z,now)
endif()

# Executables as PIE, so that the handler's code moves with ASLR like the
# libraries' (which are position-independent anyway).
check_pie_supported(LANGUAGES C CXX)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
