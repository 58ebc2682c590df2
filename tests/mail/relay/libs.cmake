set(FOLDER_LIBS mail_relay)
