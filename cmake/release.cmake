# The release zip for the person on Windows: the stripped .exe, a README
# written for that person, the licence and checksums. The same bytes from the
# same commit wherever and whenever it is built: every time stamp is the
# commit's, and the order is fixed.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(epoch $ENV{SOURCE_DATE_EPOCH})
else()
    execute_process(COMMAND git -C ${PROJECT_SOURCE_DIR} log -1 --format=%ct
        OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
    if(failed OR epoch STREQUAL "")
        message(FATAL_ERROR "A release needs SOURCE_DATE_EPOCH or a git checkout to take it from")
    endif()
endif()

find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(name cfgrestore-${PROJECT_VERSION}-win32)
set(zip ${PROJECT_BINARY_DIR}/${name}.zip)
add_custom_command(OUTPUT ${zip} ${PROJECT_BINARY_DIR}/SHA256SUMS
    COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/cmake/pack.py ${epoch} ${zip} ${name}
        $<TARGET_FILE:cfgrestore> ${PROJECT_SOURCE_DIR}/dist/README.txt ${PROJECT_SOURCE_DIR}/LICENSE
    DEPENDS cfgrestore ${PROJECT_SOURCE_DIR}/cmake/pack.py
        ${PROJECT_SOURCE_DIR}/dist/README.txt ${PROJECT_SOURCE_DIR}/LICENSE
    COMMENT "Packing ${name}.zip")
add_custom_target(release_zip ALL DEPENDS ${zip})
