find_package(Qt6 COMPONENTS Test REQUIRED)
# The program's windows with its language support (the chooser is one of
# them).
set(FOLDER_LIBS i18n ui Qt6::Test)
