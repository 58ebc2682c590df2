set(FOLDER_LIBS ui)
