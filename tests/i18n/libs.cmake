find_package(Qt6 COMPONENTS Test REQUIRED)
set(FOLDER_LIBS i18n Qt6::Test)
