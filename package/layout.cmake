# Lays out <OUT>\qgrtray.exe and <OUT>\drv\{install.exe, vmq*.dll, vmqhelp.chm}.
# Called by the `package` target: cmake -DOUT=... -DDIR64=... -DDIR32=... -DINSTALLER=... -P
foreach(var OUT DIR64 DIR32)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "layout: ${var} is not set")
  endif()
endforeach()

set(files
  "${DIR64}/qgrtray.exe|"
  "${DIR64}/vmqmon64.dll|drv/" "${DIR64}/vmqdrv64.dll|drv/" "${DIR64}/vmqui64.dll|drv/"
  "${DIR32}/vmqmon32.dll|drv/" "${DIR32}/vmqdrv32.dll|drv/" "${DIR32}/vmqui32.dll|drv/"
  "${DIR64}/vmqhelp.chm|drv/")
if(INSTALLER)
  list(APPEND files "${INSTALLER}|drv/")
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
  list(LENGTH parts n)
  set(sub "")
  if(n GREATER 1)
    list(GET parts 1 sub)
  endif()
  file(COPY "${src}" DESTINATION "${OUT}/${sub}")
endforeach()
message(STATUS "package: ${OUT}")
