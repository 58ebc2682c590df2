set(FOLDER_LIBS hold)
