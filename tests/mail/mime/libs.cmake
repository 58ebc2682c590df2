set(FOLDER_LIBS mail_mime)
