find_package(Qt6 COMPONENTS Test REQUIRED)
set(FOLDER_LIBS ui Qt6::Test)
