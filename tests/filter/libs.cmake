set(FOLDER_LIBS filter)
