set(FOLDER_LIBS mail_queue hold)
