# The VST3 SDK sources that the system ships, built as one static library.
# They are compiled from where they are installed, never copied.
set(_sdk ${VST3_SDK_DIR})
add_library(vst3sdk STATIC
  ${_sdk}/base/source/baseiids.cpp
  ${_sdk}/base/source/fbuffer.cpp
  ${_sdk}/base/source/fdebug.cpp
  ${_sdk}/base/source/fobject.cpp
  ${_sdk}/base/source/fstreamer.cpp
  ${_sdk}/base/source/fstring.cpp
  ${_sdk}/base/source/updatehandler.cpp
  ${_sdk}/base/thread/source/flock.cpp
  ${_sdk}/pluginterfaces/base/conststringtable.cpp
  ${_sdk}/pluginterfaces/base/coreiids.cpp
  ${_sdk}/pluginterfaces/base/funknown.cpp
  ${_sdk}/pluginterfaces/base/ustring.cpp
  ${_sdk}/public.sdk/source/common/memorystream.cpp
  ${_sdk}/public.sdk/source/common/pluginview.cpp
  ${_sdk}/public.sdk/source/vst/vstbus.cpp
  ${_sdk}/public.sdk/source/vst/vstcomponentbase.cpp
  ${_sdk}/public.sdk/source/vst/vsteditcontroller.cpp
  ${_sdk}/public.sdk/source/vst/vstinitiids.cpp
  ${_sdk}/public.sdk/source/vst/vstparameters.cpp
  ${_sdk}/public.sdk/source/vst/hosting/hostclasses.cpp
  ${_sdk}/public.sdk/source/vst/hosting/pluginterfacesupport.cpp
  ${CMAKE_SOURCE_DIR}/vstbase/view_iids.cpp)
target_include_directories(vst3sdk SYSTEM PUBLIC ${_sdk})
# Third-party code: keep its warnings out of our build log.
target_compile_options(vst3sdk PRIVATE -w)
