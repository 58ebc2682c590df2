set(FOLDER_LIBS base)
