# Reads the sources and fails where a file other than the registry of device kinds
# (modem/devicekind.*) names a particular kind: by its row's number, by comparing a stored
# kind with a number, by a constant of its own, or by making a kind's line class
# (included outside modem/). Everything else asks the registry's rows.
# Run as: cmake -DROOT=<source folder> -P devicekinds.cmake
include(${CMAKE_CURRENT_LIST_DIR}/sourcecheck.cmake)
set(patterns
    "device(Kind|Rules) *\\( *[0-9]"
    "deviceKinds\\(\\) *\\[ *[0-9]"
    "ModemKind[ )]*(==|!=|<=|>=|<|>) *[0-9]"
    "[0-9] *(==|!=|<=|>=|<|>) *[A-Za-z_.>-]*ModemKind"
    "cmbMODEM->currentIndex\\(\\) *(==|!=|<=|>=|<|>) *[0-9]"
    "constexpr int [A-Za-z]*(Kind|Card|Sip|Module)[A-Za-z]* *= *[0-9]"
    "constexpr int [A-Za-z]+ *= *[0-9]+ *, *(Sip|SoundCard)")
# A kind's line class: any modem/*line.h that defines a subclass of Line.
file(GLOB headers ${ROOT}/modem/*line.h)
set(lineheaders "")
foreach(header ${headers})
    file(READ ${header} text)
    if(text MATCHES "class [A-Za-z_]+ *(final *)?: *public Line[ \n{]")
        get_filename_component(base ${header} NAME_WE)
        list(APPEND lineheaders ${base})
    endif()
endforeach()
if(NOT lineheaders)
    message(FATAL_ERROR "No line class found in modem/*line.h")
endif()
list(JOIN lineheaders "|" lineheaders)
set(lineclasses "^#include \"modem/(${lineheaders})\\.h\"")
cmake_policy(SET CMP0007 NEW)
set(failures "")
foreach(folder app encoding gateway http keyring mail modem store tools ui)
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
