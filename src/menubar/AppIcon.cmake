# cmake -DSOURCE=<AppIcon.mvg> -DOUT=<dir> -DCONVERT=<ImageMagick> (-DPNG2ICNS=<png2icns> | -DICONUTIL=<iconutil>) -P AppIcon.cmake
# Renders the one icon source once at full size and scales it down for every
# other size: AppIcon.png (512 px: the windows' and the desktop's icon) and
# AppIcon.icns (the bundle's icon, 16 to 1024 px). png2icns (icnsutils) packs
# the icns here; on a Mac the system's iconutil does.
foreach(name SOURCE OUT CONVERT)
  if(NOT ${name})
    message(FATAL_ERROR "AppIcon.cmake needs -D${name}=...")
  endif()
endforeach()
set(work ${OUT}/AppIcon.work)
file(REMOVE_RECURSE ${work})
file(MAKE_DIRECTORY ${work})

# No time stamps in the files, so a rebuild gives the same bytes.
set(png_options -strip -define png:exclude-chunks=date,time -depth 8)
execute_process(
  COMMAND ${CONVERT} -background none -size 1024x1024 mvg:${SOURCE} ${png_options} PNG32:${work}/1024.png
  COMMAND_ERROR_IS_FATAL ANY)
foreach(size 16 32 48 64 128 256 512)
  execute_process(
    COMMAND ${CONVERT} ${work}/1024.png -filter Lanczos -resize ${size}x${size} ${png_options} PNG32:${work}/${size}.png
    COMMAND_ERROR_IS_FATAL ANY)
endforeach()
file(COPY_FILE ${work}/512.png ${OUT}/AppIcon.png)

if(ICONUTIL)
  # iconutil reads a folder of fixed names: each size at 1x and 2x.
  set(iconset ${work}/AppIcon.iconset)
  file(MAKE_DIRECTORY ${iconset})
  foreach(pair 16:16 16@2x:32 32:32 32@2x:64 128:128 128@2x:256 256:256 256@2x:512 512:512 512@2x:1024)
    string(REPLACE ":" ";" pair ${pair})
    list(GET pair 0 name)
    list(GET pair 1 pixels)
    string(REGEX REPLACE "^([0-9]+)" "\\1x\\1" name ${name})
    file(COPY_FILE ${work}/${pixels}.png ${iconset}/icon_${name}.png)
  endforeach()
  execute_process(COMMAND ${ICONUTIL} -c icns -o ${OUT}/AppIcon.icns ${iconset} COMMAND_ERROR_IS_FATAL ANY)
elseif(PNG2ICNS)
  execute_process(
    COMMAND ${PNG2ICNS} ${OUT}/AppIcon.icns ${work}/16.png ${work}/32.png ${work}/48.png ${work}/128.png
            ${work}/256.png ${work}/512.png ${work}/1024.png
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
else()
  message(FATAL_ERROR "AppIcon.cmake needs -DPNG2ICNS=... or -DICONUTIL=...")
endif()
file(REMOVE_RECURSE ${work})
