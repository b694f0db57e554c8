# Reads the sources and fails where a file other than the registry of device kinds
# (modem/devicekind.*) names a particular kind: by its enumerator, by comparing a stored
# kind with a number, by a constant of its own, or by making a kind's line class
# (included outside modem/). Everything else asks the registry's rows.
# Run as: cmake -DROOT=<source folder> -P devicekinds.cmake
include(${CMAKE_CURRENT_LIST_DIR}/sourcecheck.cmake)
set(patterns
    "DeviceKind::[A-Z]"
    "ModemKind[ )]*(==|!=|<=|>=|<|>) *[0-9]"
    "[0-9] *(==|!=|<=|>=|<|>) *[A-Za-z_.>-]*ModemKind"
    "cmbMODEM->currentIndex\\(\\) *(==|!=|<=|>=|<|>) *[0-9]"
    "constexpr int [A-Za-z]*(Kind|Card|Sip|Module)[A-Za-z]* *= *[0-9]"
    "constexpr int [A-Za-z]+ *= *[0-9]+ *, *(Sip|SoundCard)")
set(lineclasses "^#include \"modem/(modemline|soundline|sipline|modemmanagerline)\\.h\"")
cmake_policy(SET CMP0007 NEW)
set(failures "")
foreach(folder app encoding keyring modem store tools ui)
    file(GLOB_RECURSE files ${ROOT}/${folder}/*.cpp ${ROOT}/${folder}/*.h)
    foreach(file ${files})
        file(RELATIVE_PATH name ${ROOT} ${file})
        if(name MATCHES "^modem/devicekind\\.")
            continue()
        endif()
        file(STRINGS ${file} lines)
        foreach(line ${lines})
            foreach(pattern ${patterns})
                if(line MATCHES "${pattern}")
                    string(REPLACE ";" "," shown "${line}")
                    list(APPEND failures "${name}: ${shown}")
                endif()
            endforeach()
            if(NOT name MATCHES "^modem/" AND line MATCHES "${lineclasses}")
                list(APPEND failures "${name}: ${line}")
            endif()
        endforeach()
    endforeach()
endforeach()
fail_on_places("${failures}" "Device kinds named outside the registry")
