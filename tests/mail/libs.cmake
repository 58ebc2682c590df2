set(FOLDER_LIBS mail)
