# The end-to-end tests read the device's mail files (credentials) too.
if(TARGET ui)
  set(FOLDER_LIBS ui mail)
else()
  set(FOLDER_LIBS hold mail)
endif()
