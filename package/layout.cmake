# Lays out <OUT>\qgrtray.exe and <OUT>\drv\{install.exe, vmq*.dll, vmqhelp.chm}.
# Called by the `package` target: cmake -DOUT=... -DDIR64=... -DDIR32=... -DINSTALLER=... -P
cmake_policy(VERSION 3.20)
foreach(var OUT DIR64 DIR32)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "layout: ${var} is not set")
  endif()
endforeach()

# source|destination inside OUT
set(files
  "${DIR64}/qgrtray.exe|qgrtray.exe"
  "${DIR64}/vmqmon64.dll|drv/vmqmon64.dll" "${DIR64}/vmqdrv64.dll|drv/vmqdrv64.dll"
  "${DIR64}/vmqui64.dll|drv/vmqui64.dll" "${DIR32}/vmqmon32.dll|drv/vmqmon32.dll"
  "${DIR32}/vmqdrv32.dll|drv/vmqdrv32.dll" "${DIR32}/vmqui32.dll|drv/vmqui32.dll"
  "${DIR64}/vmqhelp.chm|drv/vmqhelp.chm")
if(INSTALLER)
  list(APPEND files "${INSTALLER}|drv/install.exe")
else()
  message(WARNING "layout: install.exe is not built; the package has no installer")
endif()

set(missing "")
foreach(entry IN LISTS files)
  string(REPLACE "|" ";" parts "${entry}")
  list(GET parts 0 src)
  if(NOT EXISTS "${src}")
    list(APPEND missing "${src}")
  endif()
endforeach()
if(missing)
  list(JOIN missing "\n  " text)
  message(FATAL_ERROR "layout: missing components (build the windows and windows32 presets):\n  ${text}")
endif()

# A clean folder each time: a stale file must not pass for a fresh one.
file(REMOVE_RECURSE "${OUT}")
file(MAKE_DIRECTORY "${OUT}/drv")
foreach(entry IN LISTS files)
  string(REPLACE "|" ";" parts "${entry}")
  list(GET parts 0 src)
  list(GET parts 1 dst)
  file(COPY_FILE "${src}" "${OUT}/${dst}")
endforeach()
message(STATUS "package: ${OUT}")
