# Shared by the tests that read the sources: fails with the title and every place found.
function(fail_on_places places title)
    if(places)
        list(JOIN places "\n" text)
        message(FATAL_ERROR "${title}:\n${text}")
    endif()
endfunction()
