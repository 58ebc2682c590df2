set(FOLDER_LIBS mail_smtpd)
