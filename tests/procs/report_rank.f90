! report_rank in Fortran: prints LINES lines "report R line I" through
! unit 6 with the run-time's default buffering, then rank ENDER waits (at
! most 30 s) for DIR/printed.R of every other rank and aborts; the others
! leave their mark and wait to be ended.
!   report_rank_f DIR LINES ENDER
program report_rank
  implicit none
  character(len=4096) :: dir, arg, path
  integer :: lines, ender, rank, nranks, i, r, printed, waited
  logical :: there
  call get_command_argument(1, dir)
  call get_command_argument(2, arg)
  read (arg, *) lines
  call get_command_argument(3, arg)
  read (arg, *) ender
  call get_environment_variable('TARVO_RANK', arg)
  read (arg, *) rank
  call get_environment_variable('TARVO_SIZE', arg)
  read (arg, *) nranks
  do i = 0, lines - 1
    write (6, '(a,i0,a,i0,a)') 'report ', rank, ' line ', i, ' ..........................................'
  end do
  if (rank == ender) then
    do waited = 1, 30
      printed = 0
      do r = 0, nranks - 1
        write (path, '(a,a,i0)') trim(dir), '/printed.', r
        inquire (file=trim(path), exist=there)
        if (r /= ender .and. there) printed = printed + 1
      end do
      if (printed == nranks - 1) exit
      call sleep(1)
    end do
    call abort()
  end if
  write (path, '(a,a,i0)') trim(dir), '/printed.', rank
  open (unit=10, file=trim(path), status='replace')
  close (10)
  call sleep(30)
  call abort()
end program report_rank
