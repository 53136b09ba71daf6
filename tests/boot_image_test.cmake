# The boot image tool gives the same bytes on every run, and those of the build.
#   cmake -DTOOL=<make_boot_image> -DBOOT=<boot folder> -DBUILT=<generated source> -DOUT=<folder> -P boot_image_test.cmake
foreach(run 1 2)
  execute_process(COMMAND ${TOOL} ${BOOT} ${OUT}/image-${run}.cpp RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "make_boot_image failed: ${status}")
  endif()
endforeach()
foreach(other ${OUT}/image-2.cpp ${BUILT})
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${OUT}/image-1.cpp ${other} RESULT_VARIABLE differ)
  if(differ)
    message(FATAL_ERROR "the boot image differs from ${other}")
  endif()
endforeach()
