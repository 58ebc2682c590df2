set(FOLDER_LIBS gateway)
